#include "run_summary.h"

#include "host_session.h"
#include "status_text.h"

#include <autoupdate.h>

#include <cstdio>

void RunSummary::observe(unsigned msg, uintptr_t wParam, intptr_t lParam, int64_t nowMs)
{
    // The package request and its fixed pauses come before the first file
    // and are no part of the transfer speed.
    bool startsFile = msg == AU_MSG_PROGRESS || (msg == AU_MSG_STATUS && wParam == AU_STATUS_FILE);
    if (startsFile && transfersStartMs_ < 0)
        transfersStartMs_ = nowMs;
    if (msg == AU_MSG_STATUS && wParam == AU_STATUS_TRANSFERS && lParam == 0 && transfersEndMs_ < 0)
        transfersEndMs_ = nowMs;
    if (msg == AU_MSG_STATUS && wParam == AU_STATUS_TRANSFERS && lParam == 10)
        packageStarted_ = true;
    if (msg == AU_MSG_STATUS && wParam == AU_STATUS_FILE)
        fileUnstarted_ = runBroken_;
    if (msg == AU_MSG_FILE_TABLE) {
        tableSeen_ = true;
        filesListed_ = int(wParam);
    } else if (msg == AU_MSG_BYTES) {
        bytesReceived_ = (long long)lParam;
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_BYTES_SAVED) {
        savedKiB_ = lParam;
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_DISK_NEEDED) {
        diskNeededKiB_ = lParam;
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_DISK_FREE) {
        diskFreeKiB_ = lParam;
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_DISK_FOLDER && lParam != 0) {
        const char* folder = reinterpret_cast<const char*>(lParam);
        std::size_t length = 0;
        while (length < 256 && folder[length] != '\0')
            ++length;
        diskFolder_.assign(folder, length);
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_FILE_DONE) {
        // The completed transfer before the table is the package itself.
        if (tableSeen_)
            ++filesFetched_;
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_ERROR) {
        if (lParam == AU_ERR_TRANSFER) {
            if (!fileUnstarted_)
                ++transfersFailed_;
            runBroken_ = true;
        } else if (lParam == AU_ERR_NO_PACKAGE && packageStarted_) {
            connectionLost_ = true;
            runBroken_ = true;
        } else {
            endingError_ = lParam;
            hasEndingError_ = true;
        }
    }
}

std::string RunSummary::outcome(int exitStatus, const std::string& stopReason) const
{
    switch (exitStatus) {
    case kExitComplete:
        return "update complete";
    case kExitRefused:
        return "update refused by the library";
    case kExitStopped:
        return "update stopped" + (stopReason.empty() ? std::string() : " (" + stopReason + ")");
    default:
        break;
    }
    if (connectionLost_) {
        std::string reason = connectionLostText(filesFetched_, tableSeen_ ? filesListed_ : -1);
        reason.pop_back();
        return "update incomplete (error " + std::to_string(AU_ERR_NO_PACKAGE) + "): " + reason;
    }
    if (hasEndingError_) {
        std::string reason = endingError_ == AU_ERR_DISK_FULL
                                 ? diskFullText(diskNeededKiB_, diskFreeKiB_, diskFolder_)
                                 : describeError(endingError_);
        if (!reason.empty() && reason.back() == '.')
            reason.pop_back();
        return "update failed (error " + std::to_string(endingError_) + "): " + reason;
    }
    if (transfersFailed_ > 0)
        return "update incomplete: " + std::to_string(transfersFailed_) +
               (transfersFailed_ == 1 ? " file" : " files") + " could not be downloaded";
    return "update incomplete";
}

std::string RunSummary::line(const std::string& outcome, int64_t endMs) const
{
    int64_t elapsedMs = 0;
    if (transfersStartMs_ >= 0)
        elapsedMs = (transfersEndMs_ >= 0 ? transfersEndMs_ : endMs) - transfersStartMs_;
    double seconds = elapsedMs > 0 ? elapsedMs / 1000.0 : 0.0;
    char timing[96];
    std::snprintf(timing, sizeof timing, " in %.1f s (%s/s)", seconds,
                  byteCountText(seconds > 0 ? (long long)(bytesReceived_ / seconds) : 0).c_str());
    return outcome + " - " + std::to_string(filesFetched_) + " of " + std::to_string(filesListed_) +
           (filesListed_ == 1 ? " file" : " files") + " fetched, " + byteCountText(bytesReceived_) + timing +
           // Only our own server's fast mode saves bytes; the field is appended.
           (savedKiB_ > 0 ? ", " + savedText(savedKiB_) : std::string());
}
