#include "log/update_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// "日志创建时间： [" in code page 936.
const std::string kHeaderStart =
    "\xC8\xD5\xD6\xBE\xB4\xB4\xBD\xA8\xCA\xB1\xBC\xE4\xA3\xBA\x20\x5B";
const char* const kTimeStamp = "\\[[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\]";

class UpdateLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/update_log_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        logPath_ = directory_ + "/autoupdatelog.txt";
        log_ = std::make_unique<UpdateLog>();
    }
    void TearDown() override {
        log_.reset();
        fs::remove_all(directory_);
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The file split after each CR LF; a trailing piece without one is kept.
    static std::vector<std::string> lines(const std::string& content) {
        std::vector<std::string> result;
        std::size_t start = 0;
        while (start < content.size()) {
            std::size_t end = content.find("\r\n", start);
            if (end == std::string::npos) {
                result.push_back(content.substr(start));
                break;
            }
            result.push_back(content.substr(start, end + 2 - start));
            start = end + 2;
        }
        return result;
    }

    static bool matches(const std::string& text, const std::string& pattern) {
        return std::regex_match(text, std::regex(pattern));
    }

    static std::string numbered(int number) {
        char text[32];
        std::snprintf(text, sizeof text, "\\[%5d\\]", number);
        return text;
    }

    std::string directory_;
    std::string logPath_;
    std::unique_ptr<UpdateLog> log_;
};

std::string today() {
    std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%m/%d/%y", std::localtime(&now));
    return text;
}

TEST_F(UpdateLogTest, HeaderCarriesDateAndTimeAndReachesOnlyTheFile) {
    std::string before = today();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    std::string printed = ::testing::internal::GetCapturedStdout();
    std::string after = today();

    EXPECT_EQ(printed, "");
    std::string content = readFile(logPath_);
    ASSERT_EQ(content.compare(0, kHeaderStart.size(), kHeaderStart), 0);
    std::string stamp = content.substr(kHeaderStart.size());
    EXPECT_TRUE(matches(stamp, "[01][0-9]/[0-3][0-9]/[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\]\r\n"))
        << stamp;
    std::string date = stamp.substr(0, 8);
    EXPECT_TRUE(date == before || date == after) << date;
}

TEST_F(UpdateLogTest, LinesAreNumberedFromOneAfterTheHeader) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("first %d", 1);
    log_->write("%s", "second");
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(matches(all[1], "\\[    1\\]" + std::string(kTimeStamp) + "first 1\r\n")) << all[1];
    EXPECT_TRUE(matches(all[2], "\\[    2\\]" + std::string(kTimeStamp) + "second\r\n")) << all[2];
}

TEST_F(UpdateLogTest, EachLineAlsoGoesToStandardOutput) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    ::testing::internal::CaptureStdout();
    log_->write("to the console %d", 42);
    std::string printed = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(printed, all[1]);
    EXPECT_TRUE(matches(printed, numbered(1) + kTimeStamp + "to the console 42\r\n")) << printed;
}

TEST_F(UpdateLogTest, WritesBeforeOpenOrAfterAFailedOpenGoNowhereAndDoNotCount) {
    ::testing::internal::CaptureStdout();
    log_->write("before open");
    std::string missing = directory_ + "/no/such/dir/autoupdatelog.txt";
    EXPECT_FALSE(log_->open(missing.c_str()));
    log_->write("after failed open");
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(fs::exists(missing));

    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("counted");
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(matches(all[1], numbered(1) + kTimeStamp + "counted\r\n")) << all[1];
}

TEST_F(UpdateLogTest, BackslashInThePathIsASeparator) {
    std::string joined = directory_ + "\\autoupdatelog.txt";
    ASSERT_TRUE(log_->open(joined.c_str()));
    log_->write("here");
    EXPECT_EQ(lines(readFile(logPath_)).size(), 2u);
}

TEST_F(UpdateLogTest, EmptyMessageGivesTheStampsAlone) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("%s", "");
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(matches(all[1], numbered(1) + kTimeStamp + "\r\n")) << all[1];
}

TEST_F(UpdateLogTest, MessagesAreCutAt8142Bytes) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    std::string exact(8142, 'x');
    std::string longer = std::string(8142, 'y') + "Z";
    log_->write("%s", exact.c_str());
    log_->write("%s", longer.c_str());
    log_->write("%s%s", longer.c_str(), longer.c_str());
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 4u);
    const std::size_t prefix = 7 + 10;
    ASSERT_EQ(all[1].size(), prefix + 8142 + 2);
    EXPECT_EQ(all[1].substr(prefix), exact + "\r\n");
    ASSERT_EQ(all[2].size(), prefix + 8142 + 2);
    EXPECT_EQ(all[2].substr(prefix), std::string(8142, 'y') + "\r\n");
    ASSERT_EQ(all[3].size(), prefix + 8142 + 2);
    EXPECT_EQ(all[3].substr(prefix), std::string(8142, 'y') + "\r\n");
}

TEST_F(UpdateLogTest, PercentSignsInArgumentsAreWrittenAsTheyAre) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("%s", "100% done %d %s %n");
    log_->write("rate %d%%", 5);
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].substr(17), "100% done %d %s %n\r\n");
    EXPECT_EQ(all[2].substr(17), "rate 5%\r\n");
}

TEST_F(UpdateLogTest, ChineseTextsAreWrittenInCodePage936) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("下载好了");
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].substr(17), "\xCF\xC2\xD4\xD8\xBA\xC3\xC1\xCB\r\n");
}

TEST_F(UpdateLogTest, SixDigitLineNumbersTakeSixColumns) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 99999; ++i) {
        log_->write("%s", "");
    }
    log_->write("six digits");
    ::testing::internal::GetCapturedStdout();
    std::string content = readFile(logPath_);
    std::size_t lastStart = content.rfind("\r\n", content.size() - 3) + 2;
    std::string last = content.substr(lastStart);
    EXPECT_TRUE(matches(last, std::string("\\[100000\\]") + kTimeStamp + "six digits\r\n")) << last;
    std::size_t previousStart = content.rfind("\r\n", lastStart - 3) + 2;
    EXPECT_TRUE(matches(content.substr(previousStart, lastStart - previousStart),
                        std::string("\\[99999\\]") + kTimeStamp + "\r\n"));
}

TEST_F(UpdateLogTest, SecondOpenStartsAFreshLogAndLeavesTheFirstComplete) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("first run");
    std::string secondPath = directory_ + "/second.txt";
    ASSERT_TRUE(log_->open(secondPath.c_str()));
    log_->write("second run");

    std::vector<std::string> first = lines(readFile(logPath_));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_TRUE(matches(first[1], numbered(1) + kTimeStamp + "first run\r\n"));
    std::vector<std::string> second = lines(readFile(secondPath));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].compare(0, kHeaderStart.size(), kHeaderStart), 0);
    EXPECT_TRUE(matches(second[1], numbered(1) + kTimeStamp + "second run\r\n")) << second[1];
}

TEST_F(UpdateLogTest, ReopeningTheSamePathTruncatesIt) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("old run");
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("new run");
    std::string content = readFile(logPath_);
    std::vector<std::string> all = lines(content);
    ASSERT_EQ(all.size(), 2u) << content;
    EXPECT_TRUE(matches(all[1], numbered(1) + kTimeStamp + "new run\r\n")) << all[1];
}

TEST_F(UpdateLogTest, FailedReopenKeepsTheLogThatWasOpen) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    log_->write("before");
    std::string missing = directory_ + "/missing/autoupdatelog.txt";
    EXPECT_FALSE(log_->open(missing.c_str()));
    log_->write("after");
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(matches(all[2], numbered(2) + kTimeStamp + "after\r\n")) << all[2];
}

TEST_F(UpdateLogTest, NothingIsWrittenOnceTheLogIsNoLongerAlive) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    g_LogAlive = false;
    ::testing::internal::CaptureStdout();
    log_->write("too late");
    std::string printed = ::testing::internal::GetCapturedStdout();
    g_LogAlive = true;
    EXPECT_EQ(printed, "");
    EXPECT_EQ(lines(readFile(logPath_)).size(), 1u);
}

TEST_F(UpdateLogTest, DestructionLowersTheFlagAndLeavesTheFileWhole) {
    ASSERT_TRUE(log_->open(logPath_.c_str()));
    EXPECT_TRUE(g_LogAlive);
    log_->write("last words");
    log_.reset();
    EXPECT_FALSE(g_LogAlive);
    std::vector<std::string> all = lines(readFile(logPath_));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(matches(all[1], numbered(1) + kTimeStamp + "last words\r\n"));
}

}  // namespace
