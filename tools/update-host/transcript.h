#ifndef UPDATE_HOST_TRANSCRIPT_H
#define UPDATE_HOST_TRANSCRIPT_H

#include <cstdint>
#include <cstdio>
#include <string>

// Lines of the transcript, each ending in "\n". Address-carrying messages are
// read here, while the library still holds the record steady.
std::string formatNotification(unsigned msg, uintptr_t wParam, intptr_t lParam);
std::string formatAsked(const char* text);
std::string formatAnswered(bool yes);
std::string formatReturned(const char* function, int32_t result);

// Writes the transcript line by line, flushing each one so that it is complete
// however the process ends. Notifications can arrive before AutoUpdate has
// returned; they are held back so that its result is always the first line.
class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // "-" is standard output. Returns false when the file cannot be created.
    bool open(const std::string& path);
    // Writes to a stream the caller owns (tests).
    void attach(FILE* stream);

    // Where a warning about a message after EndUpdate goes (stderr by default).
    void warnTo(FILE* stream) { warnings_ = stream; }
    // "update-host: warning: TEXT" there, ended by a newline; never in the
    // transcript.
    void warn(const std::string& text);

    // Lines that come after "# EndUpdate returned" are a fault of the library:
    // they are still written, after that comment, and a warning is given.
    void write(const std::string& lines);
    void autoUpdateReturned(int32_t result);
    void endUpdateReturned(int32_t result);

    bool finished() const { return finished_; }

private:
    void put(const std::string& text);

    FILE* out_ = nullptr;
    FILE* warnings_ = stderr;
    bool owned_ = false;
    bool started_ = false;
    bool finished_ = false;
    std::string held_;
};

#endif
