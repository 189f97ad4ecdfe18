#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "profile_cases.h"

namespace fs = std::filesystem;

namespace {

class PlatformProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/platform_profile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ini_ = dir_ + "/update.ini";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void writeRaw(const std::string& content) {
        std::ofstream(ini_, std::ios::binary) << content;
    }
    std::string readRaw() {
        std::ifstream in(ini_, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string get(const char* section, const char* key, const char* fallback = "DEFAULT", std::size_t size = 261) {
        std::string buffer(size, '#');
        platform::readProfileString(section, key, fallback, &buffer[0], size, ini_.c_str());
        return std::string(buffer.c_str());
    }

    std::string dir_;
    std::string ini_;
};

TEST_F(PlatformProfileTest, SectionAndKeyMatchWithoutCaseAndValueIsTrimmed) {
    writeRaw("[Other]\r\nsvrintername=wrong\r\n  [ PATCH ]  \r\n  SvrInterName \t=  patch2  \t\r\n");
    EXPECT_EQ(get("patch", "svrintername"), "patch2");
    EXPECT_EQ(get("other", "SVRINTERNAME"), "wrong");
}

TEST_F(PlatformProfileTest, ReadsLfLinesAndTheFirstMatchingKey) {
    writeRaw("[a]\nk=first\nk=second\n[b]\nk=bee");
    EXPECT_EQ(get("a", "k"), "first");
    EXPECT_EQ(get("b", "k"), "bee");
}

TEST_F(PlatformProfileTest, AbsentFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(get("patch", "svrintername", "patch"), "patch");
    writeRaw("[patch]\r\nother=1\r\n[next]\r\nsvrintername=elsewhere\r\n");
    EXPECT_EQ(get("missing", "other", "dflt"), "dflt");
    // A key of a later section does not answer for this one.
    EXPECT_EQ(get("patch", "svrintername", "patch"), "patch");
    // A line without "=" is no value.
    writeRaw("[patch]\r\nsvrintername\r\n");
    EXPECT_EQ(get("patch", "svrintername", "patch"), "patch");
    EXPECT_EQ(get("patch", "svrintername", "trailing  "), "trailing");
    EXPECT_EQ(get("patch", "svrintername", nullptr), "");
}

TEST_F(PlatformProfileTest, LinesEndAtCrOrLfAndOneMarkIsSkipped) {
    for (const auto& row : profile_cases::kReads) {
        writeRaw(row.content);
        EXPECT_EQ(get(row.section, "k"), row.expected) << row.content;
    }
}

TEST_F(PlatformProfileTest, WrittenValueReadsBackWhateverTheLinesAround) {
    const std::string digest = "0123456789abcdef0123456789abcdef";
    for (const std::string content : profile_cases::kWrites) {
        writeRaw(content);
        ASSERT_TRUE(platform::writeProfileString("MD5", "MD5", digest.c_str(), ini_.c_str()));
        EXPECT_EQ(get("MD5", "MD5"), digest) << content;
        // The mark stays where it was, as on Windows.
        EXPECT_EQ(readRaw().compare(0, 3, "\xEF\xBB\xBF") == 0, content.compare(0, 3, "\xEF\xBB\xBF") == 0);
    }
}

TEST_F(PlatformProfileTest, EmptyValueIsEmptyNotTheDefault) {
    writeRaw("[patch]\r\nsvrintername=\r\n");
    EXPECT_EQ(get("patch", "svrintername", "patch"), "");
    writeRaw("[patch]\r\nsvrintername=   \r\n");
    EXPECT_EQ(get("patch", "svrintername", "patch"), "");
}

TEST_F(PlatformProfileTest, MatchingQuotesAreRemoved) {
    writeRaw("[q]\r\na=\"two words\"\r\nb='single'\r\nc=\"mixed'\r\nd=\"\r\n");
    EXPECT_EQ(get("q", "a"), "two words");
    EXPECT_EQ(get("q", "b"), "single");
    EXPECT_EQ(get("q", "c"), "\"mixed'");
    EXPECT_EQ(get("q", "d"), "\"");
}

TEST_F(PlatformProfileTest, LongValueIsCutToSizeMinusOne) {
    std::string value(300, 'v');
    value[258] = 'L';
    value[259] = 'X';
    writeRaw("[patch]\r\nsvrintername=" + value + "\r\n");
    char out[262];
    std::memset(out, '#', sizeof out);
    platform::readProfileString("patch", "svrintername", "d", out, 260, ini_.c_str());
    EXPECT_EQ(std::strlen(out), 259u);
    EXPECT_EQ(out[258], 'L');
    EXPECT_EQ(out[260], '#');  // nothing written past the buffer
    // A long default is cut the same way.
    std::memset(out, '#', sizeof out);
    platform::readProfileString("none", "k", "abcdef", out, 4, ini_.c_str());
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[4], '#');
}

TEST_F(PlatformProfileTest, BackslashPathReachesTheSameFile) {
    writeRaw("[MD5]\r\nMD5=abc\r\n");
    std::string windowsStyle = dir_ + "\\update.ini";
    char out[64];
    platform::readProfileString("md5", "md5", "", out, sizeof out, windowsStyle.c_str());
    EXPECT_STREQ(out, "abc");
}

TEST_F(PlatformProfileTest, WriteCreatesTheFileWithCrLf) {
    ASSERT_TRUE(platform::writeProfileString("MD5", "MD5", "0123456789abcdef0123456789abcdef", ini_.c_str()));
    EXPECT_EQ(readRaw(), "[MD5]\r\nMD5=0123456789abcdef0123456789abcdef\r\n");
    EXPECT_EQ(get("md5", "md5"), "0123456789abcdef0123456789abcdef");
}

TEST_F(PlatformProfileTest, WriteReplacesTheValueAndKeepsEveryOtherLine) {
    writeRaw("; kept comment\r\n[A]\r\nx = 1\r\nKey = old\r\ny=2\r\n\r\n[B]\nKey=b\n");
    ASSERT_TRUE(platform::writeProfileString("a", "KEY", "new", ini_.c_str()));
    EXPECT_EQ(readRaw(), "; kept comment\r\n[A]\r\nx = 1\r\nKey=new\r\ny=2\r\n\r\n[B]\r\nKey=b\r\n");
    EXPECT_EQ(get("b", "key"), "b");
}

TEST_F(PlatformProfileTest, WriteAddsAKeyAtTheEndOfItsSection) {
    writeRaw("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(platform::writeProfileString("A", "z", "3", ini_.c_str()));
    EXPECT_EQ(readRaw(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(platform::writeProfileString("B", "w", "4", ini_.c_str()));
    EXPECT_EQ(readRaw(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\nw=4\r\n");
}

TEST_F(PlatformProfileTest, WriteAppendsANewSection) {
    writeRaw("[A]\r\nx=1");
    ASSERT_TRUE(platform::writeProfileString("MD5", "MD5", "d", ini_.c_str()));
    EXPECT_EQ(readRaw(), "[A]\r\nx=1\r\n[MD5]\r\nMD5=d\r\n");
}

TEST_F(PlatformProfileTest, NullValueRemovesTheKeyAndNullKeyTheSection) {
    writeRaw("[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(platform::writeProfileString("A", "x", nullptr, ini_.c_str()));
    EXPECT_EQ(readRaw(), "[A]\r\ny=2\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(platform::writeProfileString("a", nullptr, nullptr, ini_.c_str()));
    EXPECT_EQ(readRaw(), "[B]\r\nz=3\r\n");
}

TEST_F(PlatformProfileTest, FailedWriteReportsAndLeavesNoTemporaryFile) {
    std::string missing = dir_ + "/no/such/dir/x.ini";
    EXPECT_FALSE(platform::writeProfileString("A", "k", "v", missing.c_str()));
    EXPECT_EQ(platform::lastError(), 2u);

    // A directory where the file is expected.
    fs::create_directory(ini_);
    EXPECT_FALSE(platform::writeProfileString("A", "k", "v", ini_.c_str()));
    EXPECT_EQ(platform::lastError(), 5u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

}  // namespace
