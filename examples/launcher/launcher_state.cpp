#include "launcher_state.h"

#include "status_text.h"

#include <autoupdate.h>

#include <cstring>

namespace {

std::string boundedText(const char* text, std::size_t limit)
{
    if (!text)
        return std::string();
    std::size_t length = 0;
    while (length < limit && text[length] != '\0')
        ++length;
    return std::string(text, length);
}

}  // namespace

const char* LauncherState::rowStateText(RowState state)
{
    switch (state) {
    case RowState::Waiting: return "waiting";
    case RowState::Fetching: return "downloading";
    case RowState::Done: return "received";
    case RowState::Failed: return "failed";
    }
    return "";
}

void LauncherState::reset(const std::string& statusText)
{
    std::string address = downloadAddress_;
    *this = LauncherState();
    downloadAddress_ = address;
    status_ = statusText;
}

void LauncherState::setRowState(int row, RowState state, unsigned& changes)
{
    if (row < 0 || row >= int(rows_.size()) || rows_[std::size_t(row)].state == state)
        return;
    rows_[std::size_t(row)].state = state;
    changedRow_ = row;
    changes |= kRowState;
}

void LauncherState::updateBytes()
{
    bytes_.clear();
    if (expected_ > 0)
        bytes_ = byteCountText(received_) + " of " + byteCountText(expected_);
    if (speedKiB_ >= 0)
        bytes_ += (bytes_.empty() ? "" : ", ") + std::to_string(speedKiB_) + " KiB/s";
}

unsigned LauncherState::notify(unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    unsigned changes = 0;
    changedRow_ = -1;
    if (msg == AU_MSG_PROGRESS) {
        long long value = wParam ? (long long)lParam * 5000 / (long long)wParam : 0;
        progress_ = int(value < 0 ? 0 : (value > 5000 ? 5000 : value));
        return kProgress;
    }
    if (msg == AU_MSG_BYTES) {
        expected_ = (long long)wParam;
        received_ = (long long)lParam;
        updateBytes();
        return kBytes;
    }
    if (msg == AU_MSG_FILE_TABLE) {
        tableSeen_ = true;
        rows_.clear();
        const AutoUpdateTableRow* table = reinterpret_cast<const AutoUpdateTableRow*>(lParam);
        for (uintptr_t i = 0; table && i < wParam; ++i) {
            int32_t size;
            std::memcpy(&size, &table[i].size, sizeof size);
            rows_.push_back(Row{boundedText(table[i].name, sizeof table[i].name), size, RowState::Waiting});
        }
        fetchingRow_ = -1;
        status_ = rows_.empty() ? "Every file is up to date."
                                : std::to_string(rows_.size()) + (rows_.size() == 1 ? " file" : " files") +
                                      " to download.";
        return kTable | kStatus;
    }
    if (msg != AU_MSG_STATUS)
        return 0;

    switch (wParam) {
    case AU_STATUS_FILE: {
        currentFile_ = boundedText(reinterpret_cast<const char*>(lParam), 256);
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            // The first waiting row of that name: a list may name a path twice.
            if (rows_[i].name == currentFile_ && rows_[i].state == RowState::Waiting) {
                fetchingRow_ = int(i);
                setRowState(fetchingRow_, RowState::Fetching, changes);
                break;
            }
        }
        status_ = describeStatus(wParam, lParam, currentFile_);
        return changes | kCurrentFile | kStatus;
    }
    case AU_STATUS_FILE_DONE:
        // The transfer before the table is the package itself.
        if (tableSeen_ && fetchingRow_ >= 0) {
            setRowState(fetchingRow_, RowState::Done, changes);
            fetchingRow_ = -1;
        }
        return changes;
    case AU_STATUS_SPEED:
        speedKiB_ = long(lParam);
        updateBytes();
        return kBytes;
    case AU_STATUS_DOWNLOAD_ADDRESS:
        downloadAddress_ = boundedText(reinterpret_cast<const char*>(lParam), 256);
        return kAddress;
    case AU_STATUS_ERROR:
        if (lParam == AU_ERR_TRANSFER) {
            ++failedTransfers_;
            if (fetchingRow_ >= 0)
                setRowState(fetchingRow_, RowState::Failed, changes);
            fetchingRow_ = -1;
        } else {
            endingError_ = lParam;
        }
        status_ = describeError(lParam);
        return changes | kStatus;
    case AU_STATUS_FINAL:
        currentFile_.clear();
        // A run with nothing to fetch sends no progress; complete is complete.
        if (lParam == 1) {
            progress_ = 5000;
            changes |= kProgress;
        }
        status_ = describeStatus(wParam, lParam, std::string());
        // The final report would hide why the run failed; both are kept.
        if (lParam != 1 && endingError_ != 0)
            status_ = describeError(endingError_) + " " + status_;
        if (lParam != 1 && failedTransfers_ > 0)
            status_ += " " + std::to_string(failedTransfers_) +
                       (failedTransfers_ == 1 ? " file" : " files") + " could not be downloaded.";
        return changes | kStatus | kCurrentFile;
    default:
        status_ = describeStatus(wParam, lParam, std::string());
        return kStatus;
    }
}
