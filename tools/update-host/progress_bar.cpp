#include "progress_bar.h"

#include <autoupdate.h>


namespace {

std::string byteCount(long long bytes)
{
    char text[32];
    if (bytes >= 1024LL * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(text, sizeof text, "%lld B", bytes);
    return text;
}

}  // namespace

std::string describeError(intptr_t code)
{
    switch (code) {
    case AU_ERR_TRANSFER: return "a file transfer failed";
    case AU_ERR_PACKAGE_SHORT: return "the package file is too short";
    case AU_ERR_INFLATE: return "the package did not inflate into a complete list";
    case AU_ERR_UNSAFE_LIST: return "the update list names an unsafe path";
    case AU_ERR_PACKAGE_OPEN: return "the package file cannot be opened";
    case AU_ERR_NO_UNCOMPRESS: return "the decompression library has no uncompress";
    case AU_ERR_LIST_CREATE: return "the staged update list cannot be created";
    case AU_ERR_NO_PACKAGE: return "the server does not know the package, or no server answered";
    case AU_ERR_NO_CONNECTION: return "no connection to an update server";
    case AU_ERR_HOST_PATH: return "the launcher's path has no drive or directory";
    case AU_ERR_NO_SERVERS: return "gamedata.xml names no usable servers";
    case AU_ERR_LIST_TOO_LONG: return "the update list is too long";
    case AU_ERR_RECONNECT: return "a reconnect failed during the package request";
    case AU_ERR_ATTEMPTS: return "the package request ran out of attempts";
    case AU_ERR_INSTALL: return "installing the files was abandoned";
    default: return "system error " + std::to_string(code);
    }
}

void ProgressBar::observe(unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    if (msg == AU_MSG_PROGRESS) {
        long value = wParam ? long((long long)lParam * 5000 / (long long)wParam) : 0;
        progress_ = value < 0 ? 0 : (value > 5000 ? 5000 : value);
    } else if (msg == AU_MSG_BYTES) {
        expected_ = (long long)wParam;
        received_ = (long long)lParam;
    } else if (msg == AU_MSG_STATUS) {
        switch (wParam) {
        case AU_STATUS_FILE:
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
            status("error: " + describeError(lParam) + " (" + std::to_string(lParam) + ")");
            return;
        case AU_STATUS_FINAL:
            status(lParam == 1 ? "update complete" : "update incomplete");
            return;
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
        line += "  " + byteCount(received_) + " / " + byteCount(expected_);
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
    std::fputs(padded.c_str(), out_);
    std::fflush(out_);
    drawn_ = line.size();
}

void ProgressBar::status(const std::string& text)
{
    if (!out_)
        return;
    std::string line = "\r" + text;
    if (drawn_ > text.size())
        line.append(drawn_ - text.size(), ' ');
    std::fputs((line + "\n").c_str(), out_);
    std::fflush(out_);
    drawn_ = 0;
}

void ProgressBar::finish()
{
    if (out_ && drawn_ > 0) {
        std::fputs("\n", out_);
        std::fflush(out_);
    }
    drawn_ = 0;
}
