#ifndef UPDATE_HOST_LOG_CAPTURE_H
#define UPDATE_HOST_LOG_CAPTURE_H

#include <string>

// The library echoes each log line on standard output. On a terminal that
// echo would break into the progress bar as raw GBK bytes, so while a run is
// going standard output is taken over: a reader thread hands every line
// (still GBK, without its line end) to the sink. One definition per OS.
class LogCapture {
public:
    using Sink = void (*)(void* context, const std::string& line);

    LogCapture() = default;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() { stop(); }

    // Takes over standard output; false (and nothing changed) when it cannot.
    bool start(Sink sink, void* context);
    // Gives standard output back and returns once every captured line has
    // reached the sink.
    void stop();

private:
    struct Reader;
    Reader* reader_ = nullptr;
};

#endif
