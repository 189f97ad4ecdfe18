#include "log/update_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"

// Constant-initialised, so it is already false when g_UpdateLog's constructor
// raises it during the library's load.
bool g_LogAlive = false;
UpdateLog g_UpdateLog;

namespace {

// Leaves room in lineBuffer for the largest prefix ("[%5d]" of any int32 is 12
// bytes, "[HH:MM:SS]" 10), CR LF and the NUL.
constexpr int kMessageLimit = 8142;

void formatTime(std::time_t now, const char* format, char* out, std::size_t size) {
    // The log has one writer at a time, so the shared result of localtime is
    // safe here.
    const std::tm* local = std::localtime(&now);
    if (local == nullptr || std::strftime(out, size, format, local) == 0) {
        out[0] = '\0';
    }
}

// A line's time of day, formatted again only when the second changes: the
// C library's localtime looks at the system's time zone file on every call
// (a system call each on Linux), and a transfer writes thousands of lines a
// second.
void timeOfDay(char* out, std::size_t size) {
    static std::time_t shownFor = -1;
    static char shown[16] = "";
    const std::time_t now = std::time(nullptr);
    if (now != shownFor) {
        formatTime(now, "%H:%M:%S", shown, sizeof shown);
        shownFor = now;
    }
    std::snprintf(out, size, "%s", shown);
}

}  // namespace

UpdateLog::UpdateLog() {
    lineBuffer[0] = '\0';
    g_LogAlive = true;
}

UpdateLog::~UpdateLog() {
    g_LogAlive = false;
    stream.close();
}

bool UpdateLog::open(const char* path) {
    char timeText[16];
    char dateText[16];
    const std::time_t now = std::time(nullptr);
    formatTime(now, "%H:%M:%S", timeText, sizeof timeText);
    formatTime(now, "%m/%d/%y", dateText, sizeof dateText);

    char header[128];
    int headerLength =
        std::snprintf(header, sizeof header, "日志创建时间： [%s %s]\r\n", dateText, timeText);
    if (headerLength < 0) {
        return false;
    }

    // Open the new file before letting go of the old one: a failed open must
    // leave a log that was working in working order.
    std::ofstream fresh;
    if (path != nullptr) {
        fresh.open(platform::nativePath(path),
                   std::ios::out | std::ios::binary | std::ios::trunc);
    }
    if (!fresh.is_open()) {
        return false;
    }

    // A later run in the same process gets its own log: the file of the
    // previous run is closed and the new one starts from its header, with
    // its lines numbered from 1 again.
    if (stream.is_open()) {
        stream.close();
    }
    stream = std::move(fresh);
    isOpen = true;
    lineNumber = 0;
    stream.write(header, headerLength);
    stream.flush();
    return true;
}

void UpdateLog::write(const char* format, ...) {
    if (!g_LogAlive || !isOpen) {
        return;
    }
    ++lineNumber;

    int length = 0;
    if (withCounter) {
        length += std::snprintf(lineBuffer, sizeof lineBuffer, "[%5d]", lineNumber);
    }
    if (withTime) {
        char timeText[16];
        timeOfDay(timeText, sizeof timeText);
        length += std::snprintf(lineBuffer + length, sizeof lineBuffer - length, "[%s]", timeText);
    }

    va_list arguments;
    va_start(arguments, format);
    int messageLength =
        std::vsnprintf(lineBuffer + length, kMessageLimit + 1, format != nullptr ? format : "",
                       arguments);
    va_end(arguments);
    if (messageLength < 0) {
        messageLength = 0;
    } else if (messageLength > kMessageLimit) {
        messageLength = kMessageLimit;
    }
    length += messageLength;
    lineBuffer[length++] = '\r';
    lineBuffer[length++] = '\n';
    lineBuffer[length] = '\0';

    if (toDebugger) {
        platform::debugOutput(lineBuffer);
    }
    if (toConsole) {
        std::printf("%s", lineBuffer);
    }
    if (toFile && stream.is_open()) {
        // A failed write (a full disk) would otherwise silence the file for
        // the rest of the run; each line tries again.
        stream.clear();
        stream.write(lineBuffer, length);
        stream.flush();
    }
}
