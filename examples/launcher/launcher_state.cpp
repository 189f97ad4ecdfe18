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
    case RowState::Done: return "done";
    case RowState::Failed: return "failed";
    case RowState::Stopped: return "stopped";
    case RowState::NotFetched: return "not fetched";
    }
    return "";
}

std::string LauncherState::timeLeftText(int64_t ms)
{
    int64_t seconds = (ms + 999) / 1000;
    std::string text = "about ";
    if (seconds < 60)
        text += std::to_string(seconds) + " s";
    else if (seconds < 3600)
        text += std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    else
        text += std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
    return text + " left";
}

std::string LauncherState::percent() const
{
    return progressSeen_ ? std::to_string(progress_ / 50) + "%" : std::string();
}

void LauncherState::reset(const std::string& statusText, bool repair)
{
    std::string address = downloadAddress_;
    *this = LauncherState();
    downloadAddress_ = address;
    status_ = statusText;
    repair_ = repair;
}

std::string LauncherState::errorText(intptr_t code) const
{
    std::string text = code == AU_ERR_DISK_FULL ? diskFullText(diskNeededKiB_, diskFreeKiB_, diskFolder_)
                                                : describeError(code);
    switch (code) {
    case AU_ERR_NO_CONNECTION:
        text += " Check that this computer is connected to the internet and that no firewall blocks the "
                "launcher, or try again later.";
        if (!downloadAddress_.empty())
            text += " The full game can also be downloaded from " + downloadAddress_ + ".";
        break;
    case AU_ERR_NO_PACKAGE:
    case AU_ERR_RECONNECT:
    case AU_ERR_ATTEMPTS:
        text += " The server may be busy: try again later.";
        break;
    case AU_ERR_INSTALL:
        text += lockedFile_.empty()
                    ? " A running program may hold one of the game's files: close the game, then press Retry."
                    : " " + lockedFile_ + " is held by a running program: close the game and any program "
                                          "that uses this file, then press Retry.";
        break;
    default:
        break;
    }
    return text;
}

std::string LauncherState::connectionLostStatus() const
{
    int done = 0;
    for (const Row& row : rows_)
        done += row.state == RowState::Done;
    return connectionLostText(done, tableSeen_ ? int(rows_.size()) : -1);
}

void LauncherState::updateTimeLeft(int64_t nowMs)
{
    if (rateStartMs_ < 0) {
        rateStartMs_ = nowMs;
        rateStartBytes_ = received_;
        return;
    }
    int64_t elapsed = nowMs - rateStartMs_;
    long long gained = received_ - rateStartBytes_;
    // A rate from less than a second of data jumps about too much to show.
    if (elapsed < 1000 || gained <= 0 || expected_ < received_) {
        timeLeft_.clear();
        return;
    }
    timeLeft_ = timeLeftText((expected_ - received_) * elapsed / gained);
}

void LauncherState::stopReceiving()
{
    speedKiB_ = -1;
    timeLeft_.clear();
    checking_ = false;
    currentFile_.clear();
    updateBytes();
}

unsigned LauncherState::runEnded(bool stoppedByPlayer)
{
    stopReceiving();
    unsigned changes = kBytes | kCurrentFile;
    for (Row& row : rows_) {
        RowState final = row.state;
        if (row.state == RowState::Fetching)
            final = stoppedByPlayer ? RowState::Stopped : RowState::Failed;
        else if (row.state == RowState::Waiting)
            final = RowState::NotFetched;
        if (final != row.state) {
            row.state = final;
            changes |= kTable;
        }
    }
    fetchingRow_ = -1;
    if (stoppedByPlayer) {
        status_ = "Stopped. The next start continues the update.";
        changes |= kStatus;
    }
    return changes;
}

unsigned LauncherState::markSystemFiles(const std::vector<std::string>& systemPaths)
{
    unsigned changes = 0;
    for (Row& row : rows_) {
        for (const std::string& path : systemPaths) {
            if (row.name == path && !row.system) {
                row.system = true;
                changes = kTable;
            }
        }
    }
    return changes;
}

unsigned LauncherState::setLockedFile(const std::string& path)
{
    lockedFile_ = path;
    if (endingError_ != AU_ERR_INSTALL)
        return 0;
    status_ = errorText(AU_ERR_INSTALL);
    return kStatus;
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

unsigned LauncherState::notify(unsigned msg, uintptr_t wParam, intptr_t lParam, int64_t nowMs)
{
    unsigned changes = 0;
    changedRow_ = -1;
    if (msg == AU_MSG_PROGRESS) {
        long long value = wParam ? (long long)lParam * 5000 / (long long)wParam : 0;
        progress_ = int(value < 0 ? 0 : (value > 5000 ? 5000 : value));
        progressSeen_ = true;
        return kProgress;
    }
    if (msg == AU_MSG_BYTES) {
        // The counters are 32-bit in the library: read them unsigned.
        expected_ = (long long)uint32_t(wParam);
        received_ = (long long)uint32_t(lParam);
        updateBytes();
        updateTimeLeft(nowMs);
        return kBytes;
    }
    if (msg == AU_MSG_FILE_TABLE) {
        tableSeen_ = true;
        rows_.clear();
        const AutoUpdateTableRow* table = reinterpret_cast<const AutoUpdateTableRow*>(lParam);
        for (uintptr_t i = 0; table && i < wParam; ++i) {
            int32_t size;
            std::memcpy(&size, &table[i].size, sizeof size);
            rows_.push_back(Row{boundedText(table[i].name, sizeof table[i].name), size, RowState::Waiting, false});
        }
        fetchingRow_ = -1;
        checking_ = false;
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
        fetchingRow_ = -1;
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            // The first waiting row of that name: a list may name a path twice.
            if (rows_[i].name == currentFile_ && rows_[i].state == RowState::Waiting) {
                // The library still goes through the rest of a broken run,
                // but none of those files is fetched.
                setRowState(int(i), runBroken_ ? RowState::NotFetched : RowState::Fetching, changes);
                fetchingRow_ = runBroken_ ? -1 : int(i);
                break;
            }
        }
        if (runBroken_)
            return changes;
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
    case AU_STATUS_BYTES_SAVED:
        savedKiB_ = lParam;
        status_ = describeStatus(wParam, lParam, std::string());
        return kStatus;
    case AU_STATUS_SPEED:
        speedKiB_ = long(lParam);
        updateBytes();
        return kBytes;
    case AU_STATUS_DOWNLOAD_ADDRESS:
        downloadAddress_ = boundedText(reinterpret_cast<const char*>(lParam), 256);
        return kAddress;
    // Kept for the sentence of AU_ERR_DISK_FULL, which follows them.
    case AU_STATUS_DISK_NEEDED:
        diskNeededKiB_ = lParam;
        return 0;
    case AU_STATUS_DISK_FREE:
        diskFreeKiB_ = lParam;
        return 0;
    case AU_STATUS_DISK_FOLDER:
        diskFolder_ = boundedText(reinterpret_cast<const char*>(lParam), 256);
        return 0;
    case AU_STATUS_ERROR:
        if (lParam == AU_ERR_TRANSFER) {
            if (fetchingRow_ < 0 && runBroken_)
                return changes;
            ++failedTransfers_;
            if (fetchingRow_ >= 0)
                setRowState(fetchingRow_, RowState::Failed, changes);
            fetchingRow_ = -1;
            runBroken_ = true;
        } else if (lParam == AU_ERR_NO_PACKAGE && packageStarted_) {
            connectionLost_ = true;
            runBroken_ = true;
            status_ = connectionLostStatus();
            return changes | kStatus;
        } else {
            endingError_ = lParam;
        }
        status_ = errorText(lParam);
        return changes | kStatus;
    case AU_STATUS_FIRST_RUN:
        // Every listed file on disk is digested now, before the table comes.
        checking_ = true;
        status_ = "Checking game files…";
        return kStatus;
    case AU_STATUS_FINAL:
        stopReceiving();
        changes |= kBytes;
        // A run with nothing to fetch sends no progress; complete is complete.
        if (lParam == 1) {
            progress_ = 5000;
            progressSeen_ = true;
            changes |= kProgress;
        }
        status_ = describeStatus(wParam, lParam, std::string());
        if (lParam != 1 && connectionLost_) {
            status_ = connectionLostStatus();
            return changes | kStatus | kCurrentFile;
        }
        if (lParam == 1 && repair_) {
            int repaired = 0;
            for (const Row& row : rows_)
                repaired += row.state == RowState::Done;
            status_ = repaired == 0 ? "Every game file was intact; nothing needed repair."
                                    : std::to_string(repaired) + (repaired == 1 ? " file" : " files") + " repaired.";
        }
        if (lParam == 1 && savedKiB_ > 0)
            status_ += " " + savedText(savedKiB_) + ": only what changed travelled.";
        // The final report would hide why the run failed; both are kept.
        if (lParam != 1 && endingError_ != 0)
            status_ = errorText(endingError_) + " " + status_;
        if (lParam != 1 && failedTransfers_ > 0)
            status_ += " " + std::to_string(failedTransfers_) +
                       (failedTransfers_ == 1 ? " file" : " files") + " could not be downloaded.";
        return changes | kStatus | kCurrentFile;
    case AU_STATUS_TRANSFERS:
        packageStarted_ = packageStarted_ || lParam == 10;
        status_ = describeStatus(wParam, lParam, std::string());
        return kStatus;
    default:
        status_ = describeStatus(wParam, lParam, std::string());
        return kStatus;
    }
}
