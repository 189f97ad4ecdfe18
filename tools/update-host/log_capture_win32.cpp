#include "log_capture.h"

#include "log_lines.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

struct LogCapture::Reader {
    Sink sink;
    void* context;
    int readFd = -1;
    int savedFd = -1;
    HANDLE thread = nullptr;

    static DWORD WINAPI run(LPVOID self)
    {
        Reader& reader = *static_cast<Reader*>(self);
        LogLines splitter;
        std::vector<std::string> lines;
        char buffer[4096];
        for (;;) {
            int got = _read(reader.readFd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            lines.clear();
            splitter.feed(buffer, std::size_t(got), lines);
            for (const std::string& line : lines)
                reader.sink(reader.context, line);
        }
        std::string rest = splitter.rest();
        if (!rest.empty())
            reader.sink(reader.context, rest);
        return 0;
    }
};

bool LogCapture::start(Sink sink, void* context)
{
    if (reader_)
        return true;
    int fds[2];
    if (_pipe(fds, 4096, _O_BINARY) != 0)
        return false;
    std::fflush(stdout);
    Reader* reader = new Reader{sink, context, fds[0], _dup(_fileno(stdout)), nullptr};
    if (reader->savedFd < 0 || _dup2(fds[1], _fileno(stdout)) < 0) {
        if (reader->savedFd >= 0)
            _close(reader->savedFd);
        _close(fds[0]);
        _close(fds[1]);
        delete reader;
        return false;
    }
    _close(fds[1]);
    // The C runtime has no line buffering: without a buffer each printf of the
    // library reaches the reader at once.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    reader->thread = CreateThread(nullptr, 0, Reader::run, reader, 0, nullptr);
    if (!reader->thread) {
        _dup2(reader->savedFd, _fileno(stdout));
        _close(reader->savedFd);
        _close(fds[0]);
        delete reader;
        return false;
    }
    reader_ = reader;
    return true;
}

void LogCapture::stop()
{
    if (!reader_)
        return;
    std::fflush(stdout);
    _dup2(reader_->savedFd, _fileno(stdout));
    _close(reader_->savedFd);
    WaitForSingleObject(reader_->thread, INFINITE);
    CloseHandle(reader_->thread);
    _close(reader_->readFd);
    delete reader_;
    reader_ = nullptr;
}
