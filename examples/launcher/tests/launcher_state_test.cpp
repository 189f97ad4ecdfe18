#include "launcher_state.h"

#include "status_text.h"

#include <autoupdate.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

class LauncherStateTest : public ::testing::Test {
protected:
    unsigned status(uintptr_t kind, intptr_t value) { return state.notify(AU_MSG_STATUS, kind, value); }
    unsigned fileStarts(const char* path)
    {
        std::strcpy(currentFile, path);
        unsigned changes = status(AU_STATUS_FILE, reinterpret_cast<intptr_t>(currentFile));
        // The library reuses the record: what was shown must be a copy.
        std::strcpy(currentFile, "reused");
        return changes;
    }
    void table(std::initializer_list<std::pair<const char*, int32_t>> rows)
    {
        std::memset(tableRows, 0, sizeof tableRows);
        std::size_t i = 0;
        for (const auto& row : rows) {
            std::strcpy(tableRows[i].name, row.first);
            tableRows[i].size = row.second;
            ++i;
        }
        state.notify(AU_MSG_FILE_TABLE, i, reinterpret_cast<intptr_t>(tableRows));
    }
    LauncherState::RowState rowState(std::size_t row) const { return state.rows()[row].state; }

    LauncherState state;
    char currentFile[256];
    AutoUpdateTableRow tableRows[4];
};

std::string with(const std::string& text, const std::string& more) { return text + " " + more; }

TEST_F(LauncherStateTest, ErrorsThatEndARunSayWhatThePlayerCanDo)
{
    const std::string noServer = with(describeError(AU_ERR_NO_CONNECTION),
                                      "Check that this computer is connected to the internet and that no firewall "
                                      "blocks the launcher, or try again later.");
    struct Case {
        intptr_t code;
        const char* address;   // the download address the run reported
        const char* locked;    // the file the log names
        std::string expected;
    } cases[] = {
        {AU_ERR_NO_CONNECTION, "", "", noServer},
        {AU_ERR_NO_CONNECTION, "http://127.0.0.1/full.zip", "",
         with(noServer, "The full game can also be downloaded from http://127.0.0.1/full.zip.")},
        {AU_ERR_ATTEMPTS, "", "", with(describeError(AU_ERR_ATTEMPTS), "The server may be busy: try again later.")},
        {AU_ERR_INSTALL, "", "data\\中文.dat",
         with(describeError(AU_ERR_INSTALL), "data\\中文.dat is held by a running program: close the game and any "
                                             "program that uses this file, then press Retry.")},
        {AU_ERR_PACKAGE_SHORT, "http://127.0.0.1/full.zip", "", describeError(AU_ERR_PACKAGE_SHORT)},
    };
    for (const Case& c : cases) {
        char address[64];
        std::strcpy(address, c.address);
        state.reset("again");
        if (*c.address)
            status(AU_STATUS_DOWNLOAD_ADDRESS, reinterpret_cast<intptr_t>(address));
        status(AU_STATUS_ERROR, c.code);
        // The log is read once the error has come.
        if (*c.locked)
            EXPECT_EQ(unsigned(LauncherState::kStatus), state.setLockedFile(c.locked));
        EXPECT_EQ(c.expected, state.status()) << c.code;
    }
}

TEST_F(LauncherStateTest, PercentAndTimeLeftComeFromTheTransferAlone)
{
    EXPECT_EQ("", state.percent());
    table({{"/a", 1000000}});
    struct Step {
        int64_t atMs;
        long long received;   // of 1,000,000 expected
        const char* bytesText;
        const char* percent;
        const char* timeLeft;
    } steps[] = {
        // The first count starts the clock, whatever came before it.
        {60000, 100000, "97.7 KiB of 976.6 KiB", "10%", ""},
        {60500, 150000, "146.5 KiB of 976.6 KiB", "15%", ""},
        {62000, 300000, "293.0 KiB of 976.6 KiB", "30%", "about 7 s left"},
        {202000, 350000, "341.8 KiB of 976.6 KiB", "35%", "about 6 min 10 s left"},
    };
    for (const Step& step : steps) {
        state.notify(AU_MSG_PROGRESS, 5000, intptr_t(step.received / 200), step.atMs);
        state.notify(AU_MSG_BYTES, 1000000, intptr_t(step.received), step.atMs);
        EXPECT_EQ(step.bytesText, state.bytes()) << step.atMs;
        EXPECT_EQ(step.percent, state.percent()) << step.atMs;
        EXPECT_EQ(step.timeLeft, state.timeLeft()) << step.atMs;
    }
    EXPECT_EQ("about 2 h 0 min left", LauncherState::timeLeftText(7200000));
}

TEST_F(LauncherStateTest, EveryRowEndsInItsFinalStateAndNothingIsReceivedAnyMore)
{
    using RS = LauncherState::RowState;
    struct Case {
        bool stoppedByPlayer;
        RS cut;   // the row that was being fetched
        std::string status;
    } cases[] = {
        {true, RS::Stopped, "Stopped. The next start continues the update."},
        // A reconnect that found no server ends the run in mid-file.
        {false, RS::Failed, with(describeError(AU_ERR_NO_PACKAGE), "The server may be busy: try again later.")},
    };
    for (const Case& c : cases) {
        state.reset("failed");
        table({{"/a", 1}, {"/b", 2}, {"/c", 3}});
        fileStarts("/a");
        status(AU_STATUS_FILE_DONE, 0);
        fileStarts("/b");
        state.notify(AU_MSG_BYTES, 10, 5, 0);
        status(AU_STATUS_SPEED, 40);
        if (!c.stoppedByPlayer)
            status(AU_STATUS_ERROR, AU_ERR_NO_PACKAGE);
        unsigned changes = state.runEnded(c.stoppedByPlayer);
        EXPECT_TRUE(changes & LauncherState::kTable);
        EXPECT_EQ(RS::Done, rowState(0));
        EXPECT_EQ(c.cut, rowState(1));
        EXPECT_EQ(RS::NotFetched, rowState(2));
        EXPECT_EQ("5 B of 10 B", state.bytes());
        EXPECT_EQ("", state.currentFile());
        EXPECT_EQ(c.status, state.status());
    }
    EXPECT_STREQ("not fetched", LauncherState::rowStateText(RS::NotFetched));
}

TEST_F(LauncherStateTest, AFirstRunSaysItChecksAndARepairCountsWhatItFetched)
{
    struct Case {
        bool repair;
        int fetched;
        const char* end;
    } cases[] = {
        {false, 2, "The update is complete."},
        {true, 2, "2 files repaired."},
        {true, 1, "1 file repaired."},
        {true, 0, "Every game file was intact; nothing needed repair."},
    };
    for (const Case& c : cases) {
        state.reset("Repair", c.repair);
        status(AU_STATUS_LIST_READ, 0);
        EXPECT_FALSE(state.checkingFiles());
        status(AU_STATUS_FIRST_RUN, 0);
        EXPECT_TRUE(state.checkingFiles());
        EXPECT_EQ("Checking game files…", state.status());
        table({{"/a", 1}, {"/b", 1}});
        EXPECT_FALSE(state.checkingFiles());
        for (int i = 0; i < c.fetched; ++i) {
            fileStarts(i == 0 ? "/a" : "/b");
            status(AU_STATUS_FILE_DONE, 0);
        }
        status(AU_STATUS_SPEED, 12);
        status(AU_STATUS_FINAL, 1);
        EXPECT_EQ(c.end, state.status());
        EXPECT_EQ("", state.bytes());
    }
}

TEST_F(LauncherStateTest, SystemFilesAreMarkedByTheirListPath)
{
    table({{"/game.exe", 1}, {"/d3dx.dll", 2}});
    EXPECT_EQ(unsigned(LauncherState::kTable), state.markSystemFiles({"/d3dx.dll", "/other.dll"}));
    EXPECT_FALSE(state.rows()[0].system);
    EXPECT_TRUE(state.rows()[1].system);
    EXPECT_EQ(0u, state.markSystemFiles({"/d3dx.dll"}));
}

TEST_F(LauncherStateTest, AWholeRunMovesEachRowFromWaitingToReceived)
{
    status(AU_STATUS_CONNECTING, 0);
    EXPECT_EQ(describeStatus(AU_STATUS_CONNECTING, 0, ""), state.status());
    status(AU_STATUS_TRANSFERS, 10);
    // The package's own transfer comes before the table and marks no row.
    EXPECT_EQ(0u, status(AU_STATUS_FILE_DONE, 0));
    status(AU_STATUS_LIST_READ, 0);
    table({{"/data/a.dat", 1234}, {"/x.dll", 2048}});
    ASSERT_EQ(2u, state.rows().size());
    EXPECT_EQ("/data/a.dat", state.rows()[0].name);
    EXPECT_EQ(2048, state.rows()[1].size);
    EXPECT_EQ("2 files to download.", state.status());

    unsigned changes = fileStarts("/x.dll");
    EXPECT_TRUE(changes & LauncherState::kRowState);
    EXPECT_EQ(1, state.changedRow());
    EXPECT_EQ(LauncherState::RowState::Fetching, rowState(1));
    EXPECT_EQ(LauncherState::RowState::Waiting, rowState(0));
    EXPECT_EQ("/x.dll", state.currentFile());
    EXPECT_EQ("Downloading /x.dll.", state.status());

    state.notify(AU_MSG_PROGRESS, 5000, 2500);
    EXPECT_EQ(2500, state.progress());
    state.notify(AU_MSG_BYTES, 3 * 1024 * 1024, 1024 * 1024);
    status(AU_STATUS_SPEED, 512);
    EXPECT_EQ("1.0 MiB of 3.0 MiB, 512 KiB/s", state.bytes());
    changes = status(AU_STATUS_FILE_DONE, 0);
    EXPECT_TRUE(changes & LauncherState::kRowState);
    EXPECT_EQ(LauncherState::RowState::Done, rowState(1));

    fileStarts("/data/a.dat");
    status(AU_STATUS_FILE_DONE, 0);
    EXPECT_EQ(LauncherState::RowState::Done, rowState(0));
    status(AU_STATUS_TRANSFERS, 0);
    status(AU_STATUS_FINAL, 1);
    EXPECT_EQ("The update is complete.", state.status());
    EXPECT_EQ("", state.currentFile());
}

TEST_F(LauncherStateTest, OnlyACompleteRunFillsTheProgressBar)
{
    table({});
    status(AU_STATUS_TRANSFERS, 0);
    EXPECT_TRUE(status(AU_STATUS_FINAL, 1) & LauncherState::kProgress);
    EXPECT_EQ(5000, state.progress());

    state.reset("again");
    table({{"/a", 1}});
    state.notify(AU_MSG_PROGRESS, 5000, 1200);
    EXPECT_FALSE(status(AU_STATUS_FINAL, 0) & LauncherState::kProgress);
    EXPECT_EQ(1200, state.progress());
}

TEST_F(LauncherStateTest, AFailedTransferMarksItsRowAndTheFinalReportCountsIt)
{
    table({{"/a", 1}, {"/b", 2}});
    fileStarts("/a");
    status(AU_STATUS_ERROR, AU_ERR_TRANSFER);
    EXPECT_EQ(LauncherState::RowState::Failed, rowState(0));
    EXPECT_EQ(describeError(AU_ERR_TRANSFER), state.status());
    // A stray completion after the failure does not turn it into a success.
    status(AU_STATUS_FILE_DONE, 0);
    EXPECT_EQ(LauncherState::RowState::Failed, rowState(0));
    fileStarts("/b");
    status(AU_STATUS_FILE_DONE, 0);
    status(AU_STATUS_FINAL, 0);
    EXPECT_EQ(describeStatus(AU_STATUS_FINAL, 0, "") + " 1 file could not be downloaded.", state.status());
}

TEST_F(LauncherStateTest, AnEndingErrorStaysVisibleBehindTheFinalReport)
{
    table({{"/a", 1}});
    status(AU_STATUS_ERROR, AU_ERR_INSTALL);
    status(AU_STATUS_FINAL, 0);
    EXPECT_EQ(describeError(AU_ERR_INSTALL) +
                  " A running program may hold one of the game's files: close the game, then press Retry. " +
                  describeStatus(AU_STATUS_FINAL, 0, ""),
              state.status());
}

TEST_F(LauncherStateTest, ASamePathListedTwiceIsFetchedRowByRow)
{
    table({{"/same", 1}, {"/same", 1}});
    fileStarts("/same");
    status(AU_STATUS_FILE_DONE, 0);
    fileStarts("/same");
    EXPECT_EQ(1, state.changedRow());
    status(AU_STATUS_FILE_DONE, 0);
    EXPECT_EQ(LauncherState::RowState::Done, rowState(0));
    EXPECT_EQ(LauncherState::RowState::Done, rowState(1));
}

TEST_F(LauncherStateTest, RecordsAreCopiedWithinTheirBounds)
{
    std::memset(tableRows, 'n', sizeof tableRows[0].name);
    tableRows[0].size = -1;
    state.notify(AU_MSG_FILE_TABLE, 1, reinterpret_cast<intptr_t>(tableRows));
    ASSERT_EQ(1u, state.rows().size());
    EXPECT_EQ(std::string(200, 'n'), state.rows()[0].name);
    EXPECT_EQ(-1, state.rows()[0].size);

    char address[300];
    std::memset(address, 'h', sizeof address);
    EXPECT_EQ(unsigned(LauncherState::kAddress),
              status(AU_STATUS_DOWNLOAD_ADDRESS, reinterpret_cast<intptr_t>(address)));
    EXPECT_EQ(std::string(256, 'h'), state.downloadAddress());

    state.notify(AU_MSG_FILE_TABLE, 0, 0);
    EXPECT_TRUE(state.rows().empty());
    EXPECT_EQ("Every file is up to date.", state.status());
}

TEST_F(LauncherStateTest, ANewRunKeepsOnlyTheDownloadAddress)
{
    char address[] = "http://127.0.0.1/full";
    status(AU_STATUS_DOWNLOAD_ADDRESS, reinterpret_cast<intptr_t>(address));
    table({{"/a", 1}});
    fileStarts("/a");
    state.notify(AU_MSG_PROGRESS, 5000, 5000);
    state.notify(AU_MSG_BYTES, 10, 10);
    state.reset("Repairing.");
    EXPECT_EQ("Repairing.", state.status());
    EXPECT_TRUE(state.rows().empty());
    EXPECT_EQ(0, state.progress());
    EXPECT_EQ("", state.bytes());
    EXPECT_EQ("", state.currentFile());
    EXPECT_EQ("http://127.0.0.1/full", state.downloadAddress());
}

TEST_F(LauncherStateTest, ProgressIsClampedToItsRange)
{
    state.notify(AU_MSG_PROGRESS, 5000, 7000);
    EXPECT_EQ(5000, state.progress());
    state.notify(AU_MSG_PROGRESS, 5000, -3);
    EXPECT_EQ(0, state.progress());
    state.notify(AU_MSG_PROGRESS, 0, 10);
    EXPECT_EQ(0, state.progress());
}

}  // namespace
