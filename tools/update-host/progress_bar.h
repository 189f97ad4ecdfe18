#ifndef UPDATE_HOST_PROGRESS_BAR_H
#define UPDATE_HOST_PROGRESS_BAR_H

#include <cstdint>
#include <cstdio>
#include <string>

// The operator's view on a terminal: one line redrawn in place, and plain
// lines for errors and the result.
class ProgressBar {
public:
    explicit ProgressBar(FILE* out = nullptr, std::size_t width = 79) : out_(out), width_(width) {}

    // The library's texts are GBK; what reaches the terminal goes through
    // convert first (none: bytes as they are).
    void convertWith(std::string (*convert)(const std::string&)) { convert_ = convert; }

    // With file lines on, each fetched file gets a line of its own above the bar.
    void showFiles(bool on) { showFiles_ = on; }

    void observe(unsigned msg, uintptr_t wParam, intptr_t lParam);
    // A line of its own; the bar is drawn again with the next report.
    void status(const std::string& text);
    // A line above the bar, which stays on screen below it.
    void above(const std::string& text);
    // Leaves the bar's line so that later output starts on a fresh one.
    void finish();

    std::string render() const;

private:
    void redraw();
    void put(const std::string& text);

    FILE* out_;
    std::string (*convert_)(const std::string&) = nullptr;
    std::size_t width_;
    long progress_ = -1;      // five-thousandths; -1 until the first report
    long long expected_ = 0;
    long long received_ = 0;
    long speedKiB_ = -1;
    std::string file_;
    bool showFiles_ = false;
    bool tableSeen_ = false;      // transfers before the table fetch the package
    long long receivedAtFile_ = 0;
    std::size_t drawn_ = 0;   // length of the bar now on screen
};

#endif
