#ifndef UPDATE_HOST_LOG_LINES_H
#define UPDATE_HOST_LOG_LINES_H

#include <cstddef>
#include <string>
#include <vector>

// Cuts the library's log echo, which arrives in pieces of any size, into
// whole lines without their "\r\n".
class LogLines {
public:
    // Appends the complete lines found so far to lines.
    void feed(const char* data, std::size_t size, std::vector<std::string>& lines);
    // What is left after the last line end (the echo ended mid-line).
    std::string rest();

private:
    std::string pending_;
};

// True for the lines the library writes for every chunk of a transfer (the
// frame it received and the byte counts after it): thousands per file, so
// --verbose leaves them out and --trace shows them. line is GBK, with or
// without the log's "[line][time]" prefix.
bool isPerChunkLogLine(const std::string& line);

#endif
