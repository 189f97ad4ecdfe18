#include "worker/promote_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/update_log.h"
#include "run/run_state.h"

namespace fs = std::filesystem;

namespace {

class PromoteUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        root_ = fs::temp_directory_path() /
                ("promote_update_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        fs::create_directories(game() / "Update");
        std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", game().c_str());
        std::snprintf(g_RunState.packageName, sizeof g_RunState.packageName, "pkg");
        std::snprintf(g_RunState.packageDigest, sizeof g_RunState.packageDigest, "%s",
                      std::string(32, 'e').c_str());
        ASSERT_TRUE(g_UpdateLog.open((root_ / "log.txt").c_str()));
        put(game() / "Update" / "pkg.upd", "the new list");
    }
    void TearDown() override {
        resetRunState();
        fs::remove_all(root_);
    }

    fs::path game() const { return root_ / "game"; }
    static void put(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    static std::string read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const auto& item : fs::directory_iterator(game())) {
            if (item.path().extension() == ".tmp") found.push_back(item.path().filename());
        }
        return found;
    }
    bool logHas(const std::string& text) const { return read(root_ / "log.txt").find(text) != std::string::npos; }

    fs::path root_;
};

TEST_F(PromoteUpdateTest, ReplacesTheListThenTheDigestAndDropsTheStagedList) {
    put(game() / "pkg.upd", "the old list");
    put(game() / "pkgMd5.ini", "[Other]\r\nkey=kept\r\n[MD5]\r\nMD5=" + std::string(32, '1') + "\r\n");

    ASSERT_TRUE(promoteUpdate());

    EXPECT_EQ("the new list", read(game() / "pkg.upd"));
    std::string digest = read(game() / "pkgMd5.ini");
    EXPECT_NE(std::string::npos, digest.find("MD5=" + std::string(32, 'e'))) << digest;
    EXPECT_NE(std::string::npos, digest.find("key=kept")) << digest;
    EXPECT_EQ(std::string::npos, digest.find(std::string(32, '1'))) << digest;
    EXPECT_FALSE(fs::exists(game() / "Update" / "pkg.upd"));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(PromoteUpdateTest, ReadOnlyFilesOfOursAreReplaced) {
    put(game() / "pkg.upd", "the old list");
    put(game() / "pkgMd5.ini", "[MD5]\r\nMD5=old\r\n");
    fs::permissions(game() / "pkg.upd", fs::perms::owner_read);
    fs::permissions(game() / "pkgMd5.ini", fs::perms::owner_read);

    ASSERT_TRUE(promoteUpdate());

    EXPECT_EQ("the new list", read(game() / "pkg.upd"));
    EXPECT_NE(std::string::npos, read(game() / "pkgMd5.ini").find(std::string(32, 'e')));
    EXPECT_NE(fs::perms::none, fs::status(game() / "pkg.upd").permissions() & fs::perms::owner_write);
}

TEST_F(PromoteUpdateTest, ListThatCannotBeReplacedChangesNothing) {
    fs::create_directories(game() / "pkg.upd" / "keep");
    put(game() / "pkgMd5.ini", "[MD5]\r\nMD5=old\r\n");

    EXPECT_FALSE(promoteUpdate());

    EXPECT_TRUE(fs::is_directory(game() / "pkg.upd" / "keep"));
    EXPECT_EQ("[MD5]\r\nMD5=old\r\n", read(game() / "pkgMd5.ini"));
    EXPECT_EQ("the new list", read(game() / "Update" / "pkg.upd"));
    EXPECT_TRUE(leftovers().empty());
    EXPECT_TRUE(logHas("pkg.upd无法更新,错误类型"));
}

TEST_F(PromoteUpdateTest, MissingStagedListChangesNothing) {
    fs::remove(game() / "Update" / "pkg.upd");
    put(game() / "pkg.upd", "the old list");

    EXPECT_FALSE(promoteUpdate());

    EXPECT_EQ("the old list", read(game() / "pkg.upd"));
    EXPECT_FALSE(fs::exists(game() / "pkgMd5.ini"));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(PromoteUpdateTest, DigestFileThatCannotBeReplacedKeepsTheStagedList) {
    put(game() / "pkg.upd", "the old list");
    fs::create_directories(game() / "pkgMd5.ini" / "keep");

    EXPECT_FALSE(promoteUpdate());

    EXPECT_TRUE(fs::is_directory(game() / "pkgMd5.ini" / "keep"));
    EXPECT_EQ("the new list", read(game() / "Update" / "pkg.upd"));
    EXPECT_TRUE(leftovers().empty());
    EXPECT_TRUE(logHas("pkgMd5.ini无法更新,错误类型"));
}

}  // namespace
