#ifndef LAUNCHER_STATE_H
#define LAUNCHER_STATE_H

#include <cstdint>
#include <string>
#include <vector>

// Everything the launcher's window shows, built from the library's messages.
// Kept apart from the window so that what a player reads is tested without
// one. Texts from the library stay GBK, as the window's ANSI controls take them.
class LauncherState {
public:
    enum Change : unsigned {
        kStatus = 1u << 0,
        kProgress = 1u << 1,
        kBytes = 1u << 2,
        kCurrentFile = 1u << 3,
        kTable = 1u << 4,      // the rows were replaced
        kRowState = 1u << 5,   // one row changed its state: changedRow()
        kAddress = 1u << 6,
    };
    enum class RowState { Waiting, Fetching, Done, Failed };
    struct Row {
        std::string name;
        int32_t size;
        RowState state;
    };

    // Returns the Change bits of what has to be drawn again. Records passed by
    // address are copied here, while the library holds them steady.
    unsigned notify(unsigned msg, uintptr_t wParam, intptr_t lParam);
    // A new run: everything but the download address is cleared.
    void reset(const std::string& statusText);
    // A sentence of the launcher's own (refused, stopped, repairing).
    void setStatus(const std::string& text) { status_ = text; }

    const std::string& status() const { return status_; }
    int progress() const { return progress_; }   // five-thousandths
    const std::string& bytes() const { return bytes_; }
    const std::string& currentFile() const { return currentFile_; }
    const std::string& downloadAddress() const { return downloadAddress_; }
    const std::vector<Row>& rows() const { return rows_; }
    int changedRow() const { return changedRow_; }

    static const char* rowStateText(RowState state);

private:
    void setRowState(int row, RowState state, unsigned& changes);
    void updateBytes();

    std::string status_;
    int progress_ = 0;
    long long expected_ = 0;
    long long received_ = 0;
    long speedKiB_ = -1;
    std::string bytes_;
    std::string currentFile_;
    std::string downloadAddress_;
    std::vector<Row> rows_;
    int fetchingRow_ = -1;
    int changedRow_ = -1;
    bool tableSeen_ = false;
    int failedTransfers_ = 0;
    intptr_t endingError_ = 0;   // the last error other than a failed transfer
};

#endif
