#include "progress_bar.h"

#include "status_text.h"

#include <autoupdate.h>

void ProgressBar::observe(unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    if (msg == AU_MSG_PROGRESS) {
        long value = wParam ? long((long long)lParam * 5000 / (long long)wParam) : 0;
        progress_ = value < 0 ? 0 : (value > 5000 ? 5000 : value);
    } else if (msg == AU_MSG_BYTES) {
        expected_ = (long long)wParam;
        received_ = (long long)lParam;
    } else if (msg == AU_MSG_FILE_TABLE) {
        tableSeen_ = true;
    } else if (msg == AU_MSG_STATUS) {
        switch (wParam) {
        case AU_STATUS_FILE:
            receivedAtFile_ = received_;
            if (lParam) {
                const char* path = reinterpret_cast<const char*>(lParam);
                std::size_t length = 0;
                while (length < 256 && path[length] != '\0')
                    ++length;
                file_.assign(path, length);
            }
            break;
        case AU_STATUS_SPEED:
            speedKiB_ = long(lParam);
            break;
        case AU_STATUS_ERROR:
            status("error " + std::to_string(lParam) + ": " + describeError(lParam));
            return;
        case AU_STATUS_FILE_DONE:
            if (showFiles_ && tableSeen_ && !file_.empty())
                above("fetched " + file_ + " (" + byteCountText(received_ - receivedAtFile_) + ")");
            break;
        default:
            break;
        }
    }
    redraw();
}

std::string ProgressBar::render() const
{
    const int cells = 20;
    long value = progress_ < 0 ? 0 : progress_;
    int filled = int(value * cells / 5000);
    std::string line = "[";
    line.append(std::size_t(filled), '#');
    line.append(std::size_t(cells - filled), '.');
    char percent[16];
    std::snprintf(percent, sizeof percent, "] %5.1f%%", value / 50.0);
    line += percent;
    if (expected_ > 0)
        line += "  " + byteCountText(received_) + " / " + byteCountText(expected_);
    if (speedKiB_ >= 0)
        line += "  " + std::to_string(speedKiB_) + " KiB/s";
    if (!file_.empty())
        line += "  " + file_;
    if (line.size() > width_) {
        // Keep the end of the path: it names the file.
        std::size_t keep = width_ > 3 ? width_ - 3 : 0;
        std::size_t cut = line.size() - (file_.empty() ? 0 : file_.size());
        if (cut + 3 < width_ && !file_.empty()) {
            std::size_t room = width_ - cut - 3;
            line = line.substr(0, cut) + "..." + file_.substr(file_.size() - room);
        } else {
            line = line.substr(0, keep) + "...";
        }
    }
    return line;
}

void ProgressBar::redraw()
{
    if (!out_)
        return;
    std::string line = render();
    std::string padded = "\r" + line;
    if (drawn_ > line.size())
        padded.append(drawn_ - line.size(), ' ');
    put(padded);
    drawn_ = line.size();
}

void ProgressBar::status(const std::string& text)
{
    if (!out_)
        return;
    std::string line = "\r" + text;
    if (drawn_ > text.size())
        line.append(drawn_ - text.size(), ' ');
    put(line + "\n");
    drawn_ = 0;
}

void ProgressBar::above(const std::string& text)
{
    bool showing = drawn_ > 0;
    status(text);
    if (showing)
        redraw();
}

void ProgressBar::finish()
{
    if (out_ && drawn_ > 0) {
        std::fputs("\n", out_);
        std::fflush(out_);
    }
    drawn_ = 0;
}

void ProgressBar::put(const std::string& text)
{
    std::string shown = convert_ ? convert_(text) : text;
    std::fwrite(shown.data(), 1, shown.size(), out_);
    std::fflush(out_);
}
