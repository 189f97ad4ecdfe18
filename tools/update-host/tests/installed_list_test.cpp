#include "installed_list.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class InstalledListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/installed_list_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override
    {
        for (const char* name : {"game.upd", "gameMd5.ini", "other.upd", "Update/game.upd"})
            std::remove((dir_ + "/" + name).c_str());
        rmdir((dir_ + "/Update").c_str());
        rmdir(dir_.c_str());
    }
    void touch(const std::string& name)
    {
        FILE* f = std::fopen((dir_ + "/" + name).c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::fputs("content", f);
        std::fclose(f);
    }
    bool exists(const std::string& name) const
    {
        struct stat info;
        return stat((dir_ + "/" + name).c_str(), &info) == 0;
    }

    std::string dir_;
};

TEST(InstalledListPath, JoinsWithOneSeparatorWhateverTheGameDirEndsIn)
{
    EXPECT_EQ("/g/game.upd", installedListPath("/g", "game"));
    EXPECT_EQ("/g/game.upd", installedListPath("/g/", "game"));
    EXPECT_EQ("C:\\Games\\X\\game.upd", installedListPath("C:\\Games\\X\\", "game"));
    EXPECT_EQ("C:\\Games\\X/game.upd", installedListPath("C:\\Games\\X", "game"));
}

TEST_F(InstalledListTest, RemovesOnlyTheInstalledListOfThatPackage)
{
    touch("game.upd");
    touch("gameMd5.ini");
    touch("other.upd");
    ASSERT_EQ(0, mkdir((dir_ + "/Update").c_str(), 0700));
    touch("Update/game.upd");

    std::string error;
    ASSERT_TRUE(removeInstalledList(dir_, "game", error)) << error;
    EXPECT_FALSE(exists("game.upd"));
    // The digest file, another package's list and the staged list stay.
    EXPECT_TRUE(exists("gameMd5.ini"));
    EXPECT_TRUE(exists("other.upd"));
    EXPECT_TRUE(exists("Update/game.upd"));
}

TEST_F(InstalledListTest, AMissingListIsAlreadyRepaired)
{
    std::string error;
    EXPECT_TRUE(removeInstalledList(dir_ + "/", "game", error)) << error;
    EXPECT_TRUE(error.empty());
}

TEST_F(InstalledListTest, AListThatCannotBeRemovedIsAFailureWithAReason)
{
    // A directory with something in it, in the list's place, cannot be removed.
    ASSERT_EQ(0, mkdir((dir_ + "/game.upd").c_str(), 0700));
    touch("game.upd/inside");
    std::string error;
    EXPECT_FALSE(removeInstalledList(dir_, "game", error));
    EXPECT_NE(std::string::npos, error.find("game.upd")) << error;
    EXPECT_TRUE(exists("game.upd/inside"));
    std::remove((dir_ + "/game.upd/inside").c_str());
    rmdir((dir_ + "/game.upd").c_str());

    EXPECT_FALSE(removeInstalledList(dir_, "", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
