// The run's text log, autoupdatelog.txt in the game directory: a header line,
// then "[%5d][HH:MM:SS]message\r\n" per line, flushed at once so the file is
// complete even when the worker is ended from outside.
#pragma once

#include <cstdint>
#include <fstream>

class UpdateLog {
public:
    UpdateLog();
    virtual ~UpdateLog();

    // Creates or truncates the file and writes the header line.
    bool open(const char* path);

    // printf-style; the message is cut to 8142 bytes.
    void write(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

private:
    std::ofstream stream;
    bool toFile = true;
    bool toConsole = true;
    bool toDebugger = true;
    bool withTime = true;
    bool withCounter = true;
    bool isOpen = false;
    int32_t lineNumber = 0;
    char lineBuffer[8192];
};

extern UpdateLog g_UpdateLog;
extern bool g_LogAlive;
