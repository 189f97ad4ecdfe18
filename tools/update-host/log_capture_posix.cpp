#include "log_capture.h"

#include "log_lines.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

struct LogCapture::Reader {
    Sink sink;
    void* context;
    int readFd = -1;
    int savedFd = -1;
    pthread_t thread;

    static void* run(void* self)
    {
        Reader& reader = *static_cast<Reader*>(self);
        LogLines splitter;
        std::vector<std::string> lines;
        char buffer[4096];
        for (;;) {
            ssize_t got = read(reader.readFd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
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
        return nullptr;
    }
};

bool LogCapture::start(Sink sink, void* context)
{
    if (reader_)
        return true;
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    std::fflush(stdout);
    Reader* reader = new Reader{sink, context, fds[0], dup(STDOUT_FILENO), pthread_t()};
    if (reader->savedFd < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
        if (reader->savedFd >= 0)
            close(reader->savedFd);
        close(fds[0]);
        close(fds[1]);
        delete reader;
        return false;
    }
    close(fds[1]);
    // Each printf of the library reaches the reader at once, not a buffer later.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (pthread_create(&reader->thread, nullptr, Reader::run, reader) != 0) {
        dup2(reader->savedFd, STDOUT_FILENO);
        close(reader->savedFd);
        close(fds[0]);
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
    // Putting the terminal back closes the pipe's only write end: the reader
    // drains what is left and ends.
    dup2(reader_->savedFd, STDOUT_FILENO);
    close(reader_->savedFd);
    pthread_join(reader_->thread, nullptr);
    close(reader_->readFd);
    delete reader_;
    reader_ = nullptr;
}
