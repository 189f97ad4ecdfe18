#include "config/settings_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "run/run_state.h"

namespace {

namespace fs = std::filesystem;

class SettingsFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        char pattern[] = "/tmp/settings_files_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        std::strcpy(g_RunState.packageName, "patch");
    }
    void TearDown() override { fs::remove_all(directory_); }

    void writeUpdateIni(const std::string& content) {
        std::ofstream out(directory_ + "/update.ini", std::ios::binary);
        out << content;
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string serverName() const { return g_RunState.serverPackageName; }

    std::string directory_;
};

TEST_F(SettingsFilesTest, ServerNameComesFromThePackagesSection) {
    writeUpdateIni("[other]\r\nsvrintername=wrong\r\n[patch]\r\nsvrintername=patch2\r\n");
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), "patch2");
}

TEST_F(SettingsFilesTest, TrailingBackslashOrNotNamesTheSameFile) {
    writeUpdateIni("[patch]\r\nsvrintername=patch2\r\n");
    std::string withBackslash = directory_ + "\\";
    readServerPackageName(withBackslash.c_str());
    EXPECT_EQ(serverName(), "patch2");

    resetRunState();
    std::strcpy(g_RunState.packageName, "patch");
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), "patch2");
}

TEST_F(SettingsFilesTest, ForwardSlashesArePassedThrough) {
    fs::create_directories(directory_ + "/Game");
    std::ofstream(directory_ + "/Game/update.ini", std::ios::binary)
        << "[patch]\r\nsvrintername=fromgame\r\n";
    std::string mixed = directory_ + "/Game";
    readServerPackageName(mixed.c_str());
    EXPECT_EQ(serverName(), "fromgame");
}

TEST_F(SettingsFilesTest, AbsentFileSectionKeyOrValueLeaveThePackageName) {
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), "patch");

    writeUpdateIni("[other]\r\nsvrintername=wrong\r\n");
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), "patch");

    writeUpdateIni("[patch]\r\nsomethingelse=wrong\r\n");
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), "patch");

    writeUpdateIni("[patch]\r\nsvrintername=\r\n");
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), "patch");
}

TEST_F(SettingsFilesTest, EmptyDirectoryTextKeepsThePackageName) {
    std::strcpy(g_RunState.serverPackageName, "stale");
    readServerPackageName("");
    EXPECT_EQ(serverName(), "patch");
}

TEST_F(SettingsFilesTest, LongValueIsCutTo259Characters) {
    std::string value(300, 'v');
    writeUpdateIni("[patch]\r\nsvrintername=" + value + "\r\n");
    std::memset(g_RunState.serverPackageName, 'Q', sizeof g_RunState.serverPackageName);
    readServerPackageName(directory_.c_str());
    EXPECT_EQ(serverName(), std::string(259, 'v'));
}

// Runs of "/" name the same directory on POSIX, so the temp directory can be
// spelt at any length to probe the INI path's 261-byte limit.
std::string padded(const std::string& directory, std::size_t length, const char* ending) {
    std::string text = directory;
    text.append(length - directory.size() - std::strlen(ending), '/');
    return text + ending;
}

TEST_F(SettingsFilesTest, DirectoryTextTooLongForTheIniPathIsNotLookedUp) {
    writeUpdateIni("[patch]\r\nsvrintername=patch2\r\n");
    // A path cut to fit its buffer would end in "update.in"; that file must
    // never be the one consulted.
    std::ofstream(directory_ + "/update.in", std::ios::binary)
        << "[patch]\r\nsvrintername=truncated\r\n";

    std::string longest = padded(directory_, 249, "");
    readServerPackageName(longest.c_str());
    EXPECT_EQ(serverName(), "patch2");

    std::string longestWithBackslash = padded(directory_, 250, "\\");
    readServerPackageName(longestWithBackslash.c_str());
    EXPECT_EQ(serverName(), "patch2");

    std::string tooLong = padded(directory_, 250, "");
    readServerPackageName(tooLong.c_str());
    EXPECT_EQ(serverName(), "patch");

    std::string farTooLong = padded(directory_, 1000, "");
    readServerPackageName(farTooLong.c_str());
    EXPECT_EQ(serverName(), "patch");
}

TEST_F(SettingsFilesTest, DigestGoesIntoThePackagesMd5File) {
    std::strcpy(g_RunState.gameDir, directory_.c_str());
    std::strcpy(g_RunState.packageDigest, "0123456789abcdef0123456789abcdef");
    EXPECT_TRUE(writePackageDigest());

    std::string path = directory_ + "/patchMd5.ini";
    ASSERT_TRUE(fs::exists(path));
    std::string content = readFile(path);
    EXPECT_NE(content.find("[MD5]"), std::string::npos) << content;
    EXPECT_NE(content.find("MD5=0123456789abcdef0123456789abcdef"), std::string::npos) << content;

    char value[64] = {};
    std::string iniPath = directory_ + "\\patchMd5.ini";
    platform::readProfileString("MD5", "MD5", "", value, sizeof value, iniPath.c_str());
    EXPECT_STREQ(value, "0123456789abcdef0123456789abcdef");
}

TEST_F(SettingsFilesTest, LaterDigestReplacesTheEarlierOne) {
    std::strcpy(g_RunState.gameDir, directory_.c_str());
    std::strcpy(g_RunState.packageDigest, "11111111111111111111111111111111");
    writePackageDigest();
    std::strcpy(g_RunState.packageDigest, "d41d8cd98f00b204e9800998ecf8427e");
    writePackageDigest();

    std::string content = readFile(directory_ + "/patchMd5.ini");
    EXPECT_EQ(content.find("1111"), std::string::npos) << content;
    char value[64] = {};
    std::string iniPath = directory_ + "\\patchMd5.ini";
    platform::readProfileString("MD5", "MD5", "", value, sizeof value, iniPath.c_str());
    EXPECT_STREQ(value, "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(SettingsFilesTest, DigestWriteReportsItsOutcomeAndTakesAnotherPath) {
    std::strcpy(g_RunState.gameDir, directory_.c_str());
    std::strcpy(g_RunState.packageDigest, "0123456789abcdef0123456789abcdef");
    char standard[600];
    packageDigestPath(standard, sizeof standard);
    EXPECT_EQ(directory_ + "\\patchMd5.ini", standard);

    std::string beside = directory_ + "\\patchMd5.ini.tmp";
    EXPECT_TRUE(writePackageDigest(beside.c_str()));
    EXPECT_NE(readFile(directory_ + "/patchMd5.ini.tmp").find("MD5=0123456789abcdef"), std::string::npos);
    EXPECT_FALSE(fs::exists(directory_ + "/patchMd5.ini"));

    fs::create_directories(directory_ + "/patchMd5.ini/keep");
    EXPECT_FALSE(writePackageDigest());
    EXPECT_TRUE(fs::is_directory(directory_ + "/patchMd5.ini/keep"));
}

}  // namespace
