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

    void observe(unsigned msg, uintptr_t wParam, intptr_t lParam);
    // A line of its own above the bar.
    void status(const std::string& text);
    // Leaves the bar's line so that later output starts on a fresh one.
    void finish();

    std::string render() const;

private:
    void redraw();

    FILE* out_;
    std::size_t width_;
    long progress_ = -1;      // five-thousandths; -1 until the first report
    long long expected_ = 0;
    long long received_ = 0;
    long speedKiB_ = -1;
    std::string file_;
    std::size_t drawn_ = 0;   // length of the bar now on screen
};

// An English description of an error code of status kind 6.
std::string describeError(intptr_t code);

#endif
