#include "host_session.h"

#include <autoupdate.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        stream = std::tmpfile();
        ASSERT_NE(nullptr, stream);
        transcript.attach(stream);
    }
    void TearDown() override
    {
        if (stream)
            std::fclose(stream);
    }
    // Warnings go to a file of their own; null when none could be made.
    FILE* captureWarnings()
    {
        FILE* warnings = std::tmpfile();
        if (warnings)
            transcript.warnTo(warnings);
        return warnings;
    }
    std::string text()
    {
        std::fflush(stream);
        std::rewind(stream);
        std::string all;
        char buffer[256];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
            all.append(buffer, got);
        return all;
    }

    FILE* stream = nullptr;
    Transcript transcript;
};

TEST_F(SessionTest, FinalReportEndsTheRunAtOnce)
{
    HostSession session(transcript, nullptr, 3000);
    session.autoUpdateReturned(1);
    session.notify(AU_MSG_STATUS, AU_STATUS_CONNECTING, 0, 0);
    EXPECT_FALSE(session.runEnded(1000000));
    session.notify(AU_MSG_STATUS, AU_STATUS_FINAL, 1, 10);
    EXPECT_TRUE(session.runEnded(10));
    EXPECT_EQ(kExitComplete, session.outcome());

    HostSession incomplete(transcript, nullptr, 3000);
    incomplete.notify(AU_MSG_STATUS, AU_STATUS_FINAL, 0, 10);
    EXPECT_TRUE(incomplete.runEnded(10));
    EXPECT_EQ(kExitIncomplete, incomplete.outcome());
}

TEST_F(SessionTest, AnEndingErrorEndsTheRunAfterTheQuietPeriod)
{
    HostSession session(transcript, nullptr, 3000);
    session.notify(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NO_PACKAGE, 1000);
    EXPECT_EQ(3000, session.quietRemaining(1000));
    EXPECT_FALSE(session.runEnded(3999));
    EXPECT_EQ(1, session.quietRemaining(3999));
    EXPECT_TRUE(session.runEnded(4000));
    EXPECT_EQ(kExitIncomplete, session.outcome());
}

TEST_F(SessionTest, AMessageAfterTheErrorCancelsTheWait)
{
    HostSession session(transcript, nullptr, 3000);
    session.notify(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NO_PACKAGE, 1000);
    session.notify(AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 2000);
    EXPECT_EQ(-1, session.quietRemaining(2000));
    EXPECT_FALSE(session.runEnded(100000));
    // A second ending error starts the wait again from its own arrival.
    session.notify(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_RECONNECT, 5000);
    EXPECT_FALSE(session.runEnded(7999));
    EXPECT_TRUE(session.runEnded(8000));
}

TEST_F(SessionTest, AFailedTransferDoesNotEndTheRun)
{
    HostSession session(transcript, nullptr, 100);
    session.notify(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER, 0);
    EXPECT_FALSE(session.runEnded(100000));
    session.notify(AU_MSG_STATUS, AU_STATUS_FINAL, 0, 200);
    EXPECT_TRUE(session.runEnded(200));
    EXPECT_EQ(kExitIncomplete, session.outcome());
}

TEST_F(SessionTest, AnOpenQuestionHoldsTheQuietPeriod)
{
    HostSession session(transcript, nullptr, 100);
    session.autoUpdateReturned(1);
    session.notify(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_INSTALL, 0);
    session.questionAsked("a\nb");
    EXPECT_FALSE(session.runEnded(5000));
    session.questionAnswered(false);
    EXPECT_TRUE(session.runEnded(5000));
    session.endUpdateReturned(1);
    EXPECT_EQ("# AutoUpdate returned 1\n11111 6 81\n# asked: a\\nb\n# answered: no\n# EndUpdate returned 1\n",
              text());
}

TEST_F(SessionTest, MessagesAfterTheFinalReportAreWrittenButDoNotChangeTheOutcome)
{
    FILE* warnings = captureWarnings();
    ASSERT_NE(nullptr, warnings);
    HostSession session(transcript, nullptr, 100);
    session.autoUpdateReturned(1);
    session.notify(AU_MSG_STATUS, AU_STATUS_FINAL, 1, 0);
    session.notify(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NO_CONNECTION, 1);
    EXPECT_TRUE(session.runEnded(1));
    EXPECT_EQ(kExitComplete, session.outcome());
    session.endUpdateReturned(1);
    session.notify(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 2);
    EXPECT_EQ(kExitComplete, session.outcome());
    EXPECT_EQ("# AutoUpdate returned 1\n11111 5 1\n11111 6 27\n# EndUpdate returned 1\n11111 7 0\n", text());
    std::fflush(warnings);
    EXPECT_GT(std::ftell(warnings), 0L);
    std::fclose(warnings);
}

TEST_F(SessionTest, AnEndUpdateThatUsedItsWholeBudgetIsWarnedAbout)
{
    FILE* warnings = captureWarnings();
    ASSERT_NE(nullptr, warnings);
    HostSession session(transcript, nullptr, 100);
    session.autoUpdateReturned(1);
    session.endUpdateReturned(1, 3999);
    std::fflush(warnings);
    EXPECT_EQ(0L, std::ftell(warnings));

    HostSession late(transcript, nullptr, 100);
    late.endUpdateReturned(1, 4100);
    std::fflush(warnings);
    std::rewind(warnings);
    char line[200] = {};
    ASSERT_NE(nullptr, std::fgets(line, sizeof line, warnings));
    EXPECT_STREQ("update-host: warning: EndUpdate took 4100 ms: the worker did not stop by itself and was ended\n",
                 line);
    std::fclose(warnings);
    // The transcript itself is unchanged by the warning.
    EXPECT_EQ("# AutoUpdate returned 1\n# EndUpdate returned 1\n", text());
}

TEST(ProgressBarRender, ShowsProgressBytesSpeedAndFile)
{
    ProgressBar bar(nullptr, 200);
    bar.observe(AU_MSG_PROGRESS, 5000, 2500);
    bar.observe(AU_MSG_BYTES, 2 * 1024 * 1024, 1024 * 1024);
    bar.observe(AU_MSG_STATUS, AU_STATUS_SPEED, 9);
    char path[256] = "/data/a.dat";
    bar.observe(AU_MSG_STATUS, AU_STATUS_FILE, reinterpret_cast<intptr_t>(path));
    EXPECT_EQ("[##########..........]  50.0%  1.0 MiB / 2.0 MiB  9 KiB/s  /data/a.dat", bar.render());

    bar.observe(AU_MSG_PROGRESS, 5000, 9000);
    EXPECT_EQ(0u, bar.render().find("[####################] 100.0%"));
}

TEST(ProgressBarRender, ALongPathKeepsItsEndWithinTheWidth)
{
    ProgressBar bar(nullptr, 60);
    std::string longPath = "/" + std::string(80, 'd') + "/file.dat";
    char path[256];
    std::snprintf(path, sizeof path, "%s", longPath.c_str());
    bar.observe(AU_MSG_STATUS, AU_STATUS_FILE, reinterpret_cast<intptr_t>(path));
    std::string line = bar.render();
    EXPECT_EQ(60u, line.size());
    EXPECT_EQ("/file.dat", line.substr(line.size() - 9));
    EXPECT_NE(std::string::npos, line.find("..."));
}

}  // namespace

namespace {

// The package request and its 2 s pause take the first 2100 ms; each file then
// takes one second.
void playCompleteRun(RunSummary& summary, int transfersDone)
{
    summary.observe(AU_MSG_STATUS, AU_STATUS_CONNECTING, 0, 0);
    summary.observe(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 10, 50);
    summary.observe(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 100);  // the package
    summary.observe(AU_MSG_STATUS, AU_STATUS_LIST_READ, 0, 2100);
    summary.observe(AU_MSG_FILE_TABLE, 3, 0, 2100);
    for (int i = 0; i < transfersDone; ++i) {
        summary.observe(AU_MSG_STATUS, AU_STATUS_FILE, 0, 2100 + 1000 * i);
        summary.observe(AU_MSG_PROGRESS, 5000, 1000 * (i + 1), 2600 + 1000 * i);
        summary.observe(AU_MSG_BYTES, 3 * 1024 * 1024, (i + 1) * 1024 * 1024, 2600 + 1000 * i);
        summary.observe(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 3100 + 1000 * i);
    }
}

TEST(RunSummary, CountsListedFilesNotThePackage)
{
    RunSummary summary;
    playCompleteRun(summary, 3);
    summary.observe(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 0, 5100);
    summary.observe(AU_MSG_STATUS, AU_STATUS_FINAL, 1, 5200);
    EXPECT_EQ(3, summary.filesListed());
    EXPECT_EQ(3, summary.filesFetched());
    EXPECT_EQ(3LL * 1024 * 1024, summary.bytesReceived());
    // The speed is that of the transfers: neither the pause before them nor
    // the install and the wait after them count.
    EXPECT_EQ("update complete - 3 of 3 files fetched, 3.0 MiB in 3.0 s (1.0 MiB/s)",
              summary.line(summary.outcome(kExitComplete, ""), 9000));

    // Bytes that did not travel come last, only when there are any.
    summary.observe(AU_MSG_STATUS, AU_STATUS_BYTES_SAVED, 1536, 5150);
    EXPECT_EQ("update complete - 3 of 3 files fetched, 3.0 MiB in 3.0 s (1.0 MiB/s), 1.5 MiB not downloaded",
              summary.line(summary.outcome(kExitComplete, ""), 9000));

    // A run stopped during its transfers counts up to the stop.
    RunSummary stopped;
    playCompleteRun(stopped, 1);
    EXPECT_EQ("update stopped - 1 of 3 files fetched, 1.0 MiB in 2.0 s (512.0 KiB/s)",
              stopped.line(stopped.outcome(kExitStopped, ""), 4100));
}

TEST(RunSummary, OutcomeNamesTheEndingErrorOrTheFailedTransfers)
{
    RunSummary failed;
    failed.observe(AU_MSG_STATUS, AU_STATUS_CONNECTING, 0);
    failed.observe(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NO_CONNECTION);
    std::string outcome = failed.outcome(kExitIncomplete, "");
    EXPECT_EQ(0u, outcome.find("update failed (error 27): No update server could be reached")) << outcome;
    EXPECT_EQ(outcome + " - 0 of 0 files fetched, 0 B in 0.0 s (0 B/s)", failed.line(outcome, 0));

    RunSummary partial;
    playCompleteRun(partial, 1);
    partial.observe(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER);
    partial.observe(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER);
    partial.observe(AU_MSG_STATUS, AU_STATUS_FINAL, 0);
    EXPECT_EQ("update incomplete: 2 files could not be downloaded", partial.outcome(kExitIncomplete, ""));
    EXPECT_EQ(1, partial.filesFetched());

    // A server lost after the list is no unknown package; a file announced
    // after the run broke was never fetched and is no failed download.
    RunSummary lost;
    playCompleteRun(lost, 1);
    for (intptr_t error : {AU_ERR_NO_PACKAGE, AU_ERR_TRANSFER})
        lost.observe(AU_MSG_STATUS, AU_STATUS_ERROR, error);
    EXPECT_EQ("update incomplete (error 23): The connection to the update server was lost after 1 of 3 files; "
              "the next start resumes the update",
              lost.outcome(kExitIncomplete, ""));
    partial.observe(AU_MSG_STATUS, AU_STATUS_FILE, 0);
    partial.observe(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER);
    EXPECT_EQ("update incomplete: 2 files could not be downloaded", partial.outcome(kExitIncomplete, ""));

    RunSummary stopped;
    EXPECT_EQ("update stopped (timed out)", stopped.outcome(kExitStopped, "timed out"));
    EXPECT_EQ("update stopped", stopped.outcome(kExitStopped, ""));
    EXPECT_EQ("update refused by the library", stopped.outcome(kExitRefused, ""));
    EXPECT_EQ("update incomplete", stopped.outcome(kExitIncomplete, ""));
}

TEST(RunSummary, AFullDiskNamesWhatIsNeededAndWhere)
{
    RunSummary full;
    char folder[] = "D:\\Game";
    full.observe(AU_MSG_STATUS, AU_STATUS_DISK_NEEDED, 6144);
    full.observe(AU_MSG_STATUS, AU_STATUS_DISK_FREE, 1024);
    full.observe(AU_MSG_STATUS, AU_STATUS_DISK_FOLDER, reinterpret_cast<intptr_t>(folder));
    full.observe(AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_DISK_FULL);
    EXPECT_EQ("update failed (error 84): The disk is full: 5.0 MiB more are needed in D:\\Game (1.0 MiB free). "
              "Free some space and start again; nothing installed was changed",
              full.outcome(kExitIncomplete, ""));
}

TEST(RunSummary, SessionFeedsItsSummaryWhileTheTranscriptIsOpen)
{
    Transcript transcript;
    HostSession session(transcript, nullptr, 3000);
    session.autoUpdateReturned(1);
    session.notify(AU_MSG_FILE_TABLE, 2, 0, 0);
    session.notify(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 0);
    session.endUpdateReturned(1);
    session.notify(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 0);
    EXPECT_EQ(2, session.summary().filesListed());
    EXPECT_EQ(1, session.summary().filesFetched());
}

TEST(ProgressBarOutput, LinesAboveTheBarAreConvertedAndTheBarComesBack)
{
    FILE* out = std::tmpfile();
    ASSERT_NE(nullptr, out);
    ProgressBar bar(out, 60);
    bar.convertWith([](const std::string& text) {
        std::string upper = text;
        for (char& c : upper)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        return upper;
    });
    bar.observe(AU_MSG_PROGRESS, 5000, 2500);
    bar.above("log line");
    bar.status("done");
    std::fflush(out);
    std::rewind(out);
    std::string all;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
        all.append(buffer, n);
    std::fclose(out);
    std::string barText = "[##########..........]  50.0%";
    EXPECT_EQ("\r" + barText + "\rLOG LINE" + std::string(barText.size() - 8, ' ') + "\n\r" + barText +
                  "\rDONE" + std::string(barText.size() - 4, ' ') + "\n",
              all);
}

}  // namespace
