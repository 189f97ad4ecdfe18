#ifndef LAUNCHER_STATE_H
#define LAUNCHER_STATE_H

#include <cstdint>
#include <string>
#include <vector>

// Everything the launcher's window shows, built from the library's messages.
// Kept apart from the window so that what a player reads is tested without
// one. Texts from the library stay GBK (code page 936) here, and so do the
// launcher's own sentences around them; the window converts them for display.
class LauncherState {
public:
    enum Change : unsigned {
        kStatus = 1u << 0,
        kProgress = 1u << 1,
        kBytes = 1u << 2,
        kCurrentFile = 1u << 3,
        kTable = 1u << 4,      // the rows were replaced or several changed
        kRowState = 1u << 5,   // one row changed its state: changedRow()
        kAddress = 1u << 6,
    };
    enum class RowState { Waiting, Fetching, Done, Failed, Stopped, NotFetched };
    struct Row {
        std::string name;
        int32_t size;
        RowState state;
        bool system;
    };

    // Returns the Change bits of what has to be drawn again. Records passed by
    // address are copied here, while the library holds them steady. nowMs is
    // a steady clock in milliseconds; it times the transfer for the time left.
    unsigned notify(unsigned msg, uintptr_t wParam, intptr_t lParam, int64_t nowMs = 0);
    // A new run: everything but the download address is cleared. A repair
    // ends by counting what it fetched.
    void reset(const std::string& statusText, bool repair = false);
    // A sentence of the launcher's own (refused, repairing).
    void setStatus(const std::string& text) { status_ = text; }
    // The run is over (EndUpdate has returned): nothing is received any more
    // and every row shows what became of its file.
    unsigned runEnded(bool stoppedByPlayer);
    // The rows whose paths the run's list puts in the system directory.
    unsigned markSystemFiles(const std::vector<std::string>& systemPaths);
    // The file an install could not replace, as the run's log names it.
    unsigned setLockedFile(const std::string& path);

    const std::string& status() const { return status_; }
    int progress() const { return progress_; }   // five-thousandths
    std::string percent() const;                 // "48%", empty before any progress
    const std::string& bytes() const { return bytes_; }
    const std::string& timeLeft() const { return timeLeft_; }
    const std::string& currentFile() const { return currentFile_; }
    const std::string& downloadAddress() const { return downloadAddress_; }
    const std::vector<Row>& rows() const { return rows_; }
    int changedRow() const { return changedRow_; }
    bool checkingFiles() const { return checking_; }

    static const char* rowStateText(RowState state);
    // "about 1 min 5 s left".
    static std::string timeLeftText(int64_t ms);

private:
    void setRowState(int row, RowState state, unsigned& changes);
    void updateBytes();
    void updateTimeLeft(int64_t nowMs);
    void stopReceiving();
    std::string errorText(intptr_t code) const;
    std::string connectionLostStatus() const;

    std::string status_;
    int progress_ = 0;
    bool progressSeen_ = false;
    long long expected_ = 0;
    long long received_ = 0;
    long speedKiB_ = -1;
    intptr_t savedKiB_ = 0;
    // The first byte count of the run: the rate is measured from there.
    int64_t rateStartMs_ = -1;
    long long rateStartBytes_ = 0;
    std::string bytes_;
    std::string timeLeft_;
    std::string currentFile_;
    std::string downloadAddress_;
    std::string lockedFile_;
    std::vector<Row> rows_;
    int fetchingRow_ = -1;
    int changedRow_ = -1;
    bool tableSeen_ = false;
    // Past 11111/4/10 error 23 means the server was lost, not unknown.
    bool packageStarted_ = false;
    bool connectionLost_ = false;
    // After a failed transfer every later one fails without being fetched.
    bool runBroken_ = false;
    bool repair_ = false;
    bool checking_ = false;
    int failedTransfers_ = 0;
    intptr_t endingError_ = 0;   // the last error other than a failed transfer
    // The amounts and the folder of a disk too full for the run.
    long long diskNeededKiB_ = -1;
    long long diskFreeKiB_ = -1;
    std::string diskFolder_;
};

#endif
