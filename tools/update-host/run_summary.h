#ifndef UPDATE_HOST_RUN_SUMMARY_H
#define UPDATE_HOST_RUN_SUMMARY_H

#include <cstdint>
#include <string>

// Counts what a run fetched, for the one line a terminal shows at its end.
class RunSummary {
public:
    // nowMs: when the message came, on the clock line() is given.
    void observe(unsigned msg, uintptr_t wParam, intptr_t lParam, int64_t nowMs = 0);

    // The outcome in words for the tool's exit status; stopReason names why a
    // run was stopped ("timed out", "interrupted"), empty for --stop-after.
    std::string outcome(int exitStatus, const std::string& stopReason) const;
    // "update complete - 3 of 3 files fetched, 1.5 MiB in 2.0 s (768.0 KiB/s)".
    // The time is that of the transfers alone, from the first file to the
    // end of the transfers, or to endMs for a run that did not get there.
    std::string line(const std::string& outcome, int64_t endMs) const;

    int filesListed() const { return filesListed_; }
    int filesFetched() const { return filesFetched_; }
    long long bytesReceived() const { return bytesReceived_; }

private:
    bool tableSeen_ = false;
    // Past 11111/4/10 error 23 means a lost server, not an unknown package.
    bool packageStarted_ = false;
    bool connectionLost_ = false;
    // Once a transfer failed every later one of the run fails unstarted.
    bool runBroken_ = false;
    bool fileUnstarted_ = false;
    int filesListed_ = 0;
    int filesFetched_ = 0;
    int transfersFailed_ = 0;
    long long bytesReceived_ = 0;
    intptr_t savedKiB_ = 0;  // AU_STATUS_BYTES_SAVED: copied or carried deflated
    intptr_t endingError_ = 0;   // the last error that is not a failed transfer
    bool hasEndingError_ = false;
    // What AU_STATUS_DISK_NEEDED, _FREE and _FOLDER told before AU_ERR_DISK_FULL.
    long long diskNeededKiB_ = -1;
    long long diskFreeKiB_ = -1;
    std::string diskFolder_;
    int64_t transfersStartMs_ = -1;
    int64_t transfersEndMs_ = -1;
};

#endif
