#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class PlatformMoveFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/platform_move_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }
    static void put(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string contentOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static unsigned modeOf(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }

    std::string dir_;
};

TEST_F(PlatformMoveFileTest, MoveReplacesTheTargetAndKeepsItsPermissionBits) {
    put(at("staged"), "new game.exe");
    put(at("game.exe"), "old game.exe");
    chmod(at("staged").c_str(), 0600);
    chmod(at("game.exe").c_str(), 0755);
    std::string windowsStyle = dir_ + "\\staged";

    ASSERT_TRUE(platform::moveFile(windowsStyle.c_str(), at("game.exe").c_str()));
    EXPECT_EQ(contentOf(at("game.exe")), "new game.exe");
    EXPECT_FALSE(fs::exists(at("staged")));
    EXPECT_EQ(modeOf(at("game.exe")), 0755u);

    put(at("staged2"), "fresh");
    chmod(at("staged2").c_str(), 0640);
    ASSERT_TRUE(platform::moveFile(at("staged2").c_str(), at("new.dat").c_str()));
    EXPECT_EQ(contentOf(at("new.dat")), "fresh");
    EXPECT_EQ(modeOf(at("new.dat")), 0640u);
}

TEST_F(PlatformMoveFileTest, FailedMovesLeaveBothSidesAlone) {
    put(at("staged"), "new");
    fs::create_directories(at("busy/inner"));
    EXPECT_FALSE(platform::moveFile(at("staged").c_str(), at("busy").c_str()));
    EXPECT_NE(platform::lastError(), 0u);
    EXPECT_EQ(contentOf(at("staged")), "new");
    EXPECT_TRUE(fs::is_directory(at("busy/inner")));

    EXPECT_FALSE(platform::moveFile(at("absent").c_str(), at("target").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);
    EXPECT_FALSE(fs::exists(at("target")));
}

TEST_F(PlatformMoveFileTest, MoveAcrossFileSystemsReportsNotSameDevice) {
    // /dev/shm is a tmpfs on every Linux we build on; skip where it is not
    // another file system than /tmp.
    struct stat tmpInfo {}, shmInfo {};
    if (stat("/dev/shm", &shmInfo) != 0 || stat(dir_.c_str(), &tmpInfo) != 0 ||
        shmInfo.st_dev == tmpInfo.st_dev || access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system";
    }
    std::string other = "/dev/shm/platform_move_" + std::to_string(getpid());
    put(at("staged"), "new");
    EXPECT_FALSE(platform::moveFile(at("staged").c_str(), other.c_str()));
    EXPECT_EQ(platform::lastError(), 17u);
    EXPECT_TRUE(fs::exists(at("staged")));
    EXPECT_FALSE(fs::exists(other));
}

TEST_F(PlatformMoveFileTest, MakeWritableAddsTheOwnersWriteBit) {
    put(at("list.upd"), "list");
    chmod(at("list.upd").c_str(), 0444);
    EXPECT_TRUE(platform::makeWritable(at("list.upd").c_str()));
    EXPECT_EQ(modeOf(at("list.upd")), 0644u);
    EXPECT_TRUE(platform::makeWritable(at("list.upd").c_str()));
    EXPECT_EQ(modeOf(at("list.upd")), 0644u);
    EXPECT_FALSE(platform::makeWritable(at("absent").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);
}

}  // namespace
