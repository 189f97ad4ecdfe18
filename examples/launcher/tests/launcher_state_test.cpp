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

TEST_F(LauncherStateTest, ErrorsThatEndARunSayWhatThePlayerCanDo)
{
    char address[] = "http://127.0.0.1/full.zip";
    struct Case {
        intptr_t code;
        bool address;         // the run reported a download address
        const char* locked;   // the file the log names
        const char* says;
    } cases[] = {
        {AU_ERR_NO_CONNECTION, true, "", "no firewall blocks the launcher, or try again later. The full game can also "
                                         "be downloaded from http://127.0.0.1/full.zip."},
        {AU_ERR_ATTEMPTS, true, "", "The server may be busy: try again later."},
        {AU_ERR_INSTALL, false, "data\\中文.dat", "data\\中文.dat is held by a running program: close the game"},
        {AU_ERR_NOT_SIGNED, false, "", "The update server's files are not signed by the game's publisher; nothing was changed"},
    };
    for (const Case& c : cases) {
        LauncherState run;
        if (c.address)
            run.notify(AU_MSG_STATUS, AU_STATUS_DOWNLOAD_ADDRESS, reinterpret_cast<intptr_t>(address));
        run.notify(AU_MSG_STATUS, AU_STATUS_ERROR, c.code);
        run.setLockedFile(c.locked);
        EXPECT_EQ(0u, run.status().find(describeError(c.code))) << c.code;
        EXPECT_NE(std::string::npos, run.status().find(c.says)) << run.status();
    }
}

TEST_F(LauncherStateTest, AFullDiskSaysHowMuchMoreIsNeededAndWhere)
{
    char folder[] = "D:\\Game";
    status(AU_STATUS_DISK_NEEDED, 6144);
    status(AU_STATUS_DISK_FREE, 1024);
    status(AU_STATUS_DISK_FOLDER, reinterpret_cast<intptr_t>(folder));
    status(AU_STATUS_ERROR, AU_ERR_DISK_FULL);
    status(AU_STATUS_FINAL, 0);
    EXPECT_EQ("The disk is full: 5.0 MiB more are needed in D:\\Game (1.0 MiB free). Free some space and start "
              "again; nothing installed was changed. " + describeStatus(AU_STATUS_FINAL, 0, ""),
              state.status());
}

TEST_F(LauncherStateTest, PercentAndTimeLeftComeFromTheTransferAlone)
{
    table({{"/a", 1000000}});
    struct Step {
        int64_t atMs;
        int received;   // of 1,000,000
        const char *bytes, *percent, *timeLeft;
    } steps[] = {
        // The first count starts the clock, whatever came before it.
        {60000, 100000, "97.7 KiB of 976.6 KiB", "10%", ""},
        {60500, 150000, "146.5 KiB of 976.6 KiB", "15%", ""},
        {62000, 300000, "293.0 KiB of 976.6 KiB", "30%", "about 7 s left"},
        {202000, 350000, "341.8 KiB of 976.6 KiB", "35%", "about 6 min 10 s left"},
    };
    for (const Step& step : steps) {
        state.notify(AU_MSG_PROGRESS, 5000, step.received / 200, step.atMs);
        state.notify(AU_MSG_BYTES, 1000000, step.received, step.atMs);
        EXPECT_EQ(step.bytes, state.bytes());
        EXPECT_EQ(step.percent, state.percent());
        EXPECT_EQ(step.timeLeft, state.timeLeft());
    }
}

TEST_F(LauncherStateTest, EveryRowEndsInItsFinalStateAndARepairCountsWhatItFetched)
{
    using RS = LauncherState::RowState;
    struct Case {
        bool repair, stopped;
        intptr_t ending;   // an error that ends the run; -1: the final report of a complete run
        RS cut;            // the row being fetched when the run ended
        const char* says;
    } cases[] = {
        {false, true, 0, RS::Stopped, "Stopped. The next start continues the update."},
        {false, false, AU_ERR_NO_PACKAGE, RS::Failed, "The server may be busy: try again later."},
        {true, false, -1, RS::Done, "2 files repaired."},
    };
    for (const Case& c : cases) {
        state.reset("run", c.repair);
        status(AU_STATUS_FIRST_RUN, 0);
        EXPECT_EQ("Checking game files…", state.status());
        table({{"/a", 1}, {"/b", 2}, {"/c", 3}});
        EXPECT_FALSE(state.checkingFiles());
        fileStarts("/a");
        status(AU_STATUS_FILE_DONE, 0);
        fileStarts("/b");
        state.notify(AU_MSG_BYTES, 10, 5, 0);
        status(AU_STATUS_SPEED, 40);
        if (c.ending > 0)
            status(AU_STATUS_ERROR, c.ending);
        if (c.ending < 0)
            status(AU_STATUS_FILE_DONE, 0), status(AU_STATUS_FINAL, 1);
        state.runEnded(c.stopped);
        EXPECT_EQ(RS::Done, rowState(0));
        EXPECT_EQ(c.cut, rowState(1));
        EXPECT_EQ(RS::NotFetched, rowState(2));
        EXPECT_EQ("5 B of 10 B", state.bytes());
        EXPECT_NE(std::string::npos, state.status().find(c.says)) << state.status();
    }
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
    status(AU_STATUS_BYTES_SAVED, 2048);
    status(AU_STATUS_FINAL, 1);
    EXPECT_EQ("The update is complete. 2.0 MiB not downloaded: only what changed travelled.", state.status());
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

TEST_F(LauncherStateTest, AServerLostMidwaySaysHowFarTheRunGotAndLeavesTheRestNotFetched)
{
    status(AU_STATUS_TRANSFERS, 10);
    table({{"/a", 1}, {"/b", 2}, {"/c", 3}});
    fileStarts("/a");
    status(AU_STATUS_FILE_DONE, 0);
    fileStarts("/b");
    status(AU_STATUS_ERROR, AU_ERR_NO_PACKAGE);
    status(AU_STATUS_ERROR, AU_ERR_TRANSFER);
    fileStarts("/c");
    status(AU_STATUS_ERROR, AU_ERR_TRANSFER);
    EXPECT_EQ(LauncherState::RowState::NotFetched, rowState(2));
    status(AU_STATUS_FINAL, 0);
    state.runEnded(false);
    EXPECT_EQ("The connection to the update server was lost after 1 of 3 files; the next start resumes the update.",
              state.status());
    EXPECT_EQ(LauncherState::RowState::Failed, rowState(1));
    // Before the package download 23 is the unknown package; during it, the list was cut.
    state.reset("run");
    status(AU_STATUS_ERROR, AU_ERR_NO_PACKAGE);
    EXPECT_EQ(0u, state.status().find(describeError(AU_ERR_NO_PACKAGE)));
    status(AU_STATUS_TRANSFERS, 10);
    status(AU_STATUS_ERROR, AU_ERR_NO_PACKAGE);
    EXPECT_EQ(connectionLostText(0, -1), state.status());
}
