#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class PlatformFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/platform_files_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

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
    std::map<std::string, bool> listing(const std::string& directory) {
        std::map<std::string, bool> entries;
        platform::DirectoryListing list;
        EXPECT_TRUE(list.open(directory.c_str()));
        platform::DirectoryListing::Entry entry;
        while (list.next(&entry)) {
            EXPECT_TRUE(entries.emplace(entry.name, entry.isDirectory).second) << "listed twice: " << entry.name;
        }
        EXPECT_FALSE(list.next(&entry));
        return entries;
    }

    std::string dir_;
};

TEST(PlatformNativePath, EveryBackslashBecomesASlash) {
    EXPECT_EQ(platform::nativePath("\\game\\Update\\pkg\\data/a.dat"), "/game/Update/pkg/data/a.dat");
    EXPECT_EQ(platform::nativePath("\\\\"), "//");
    EXPECT_EQ(platform::nativePath("plain"), "plain");
    EXPECT_EQ(platform::nativePath(nullptr), "");
}

TEST_F(PlatformFilesTest, OpenFileTakesWindowsSeparators) {
    put(at("a.txt"), "hello");
    std::string windowsStyle = dir_ + "\\a.txt";
    std::FILE* file = platform::openFile(windowsStyle.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), 5u);
    std::fclose(file);
    EXPECT_STREQ(buffer, "hello");

    EXPECT_EQ(platform::openFile(at("missing.txt").c_str(), "rb"), nullptr);
    EXPECT_EQ(platform::lastError(), 2u);
}

TEST_F(PlatformFilesTest, CreateDirectoryFailsWhenItExists) {
    std::string path = dir_ + "\\Update";
    EXPECT_TRUE(platform::createDirectory(path.c_str()));
    EXPECT_TRUE(fs::is_directory(at("Update")));
    EXPECT_FALSE(platform::createDirectory(path.c_str()));
    EXPECT_EQ(platform::lastError(), 183u);
    EXPECT_FALSE(platform::createDirectory((dir_ + "\\no\\parent").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);
}

TEST_F(PlatformFilesTest, CopyReplacesAnExistingTargetWhole) {
    put(at("new.dat"), "short");
    put(at("old.dat"), "a much longer previous content");
    ASSERT_TRUE(platform::copyFile((dir_ + "\\new.dat").c_str(), (dir_ + "\\old.dat").c_str()));
    EXPECT_EQ(contentOf(at("old.dat")), "short");
    EXPECT_EQ(contentOf(at("new.dat")), "short");
    // Only the two files: the temporary copy is gone.
    EXPECT_EQ(listing(dir_).size(), 2u);
}

TEST_F(PlatformFilesTest, ReplacedFileKeepsItsModeAndANewOneTakesTheSources) {
    put(at("staged"), "#!/bin/sh\necho two\n");
    chmod(at("staged").c_str(), 0640);
    put(at("run.sh"), "#!/bin/sh\necho one\n");
    chmod(at("run.sh").c_str(), 0751);
    ASSERT_TRUE(platform::copyFile(at("staged").c_str(), at("run.sh").c_str()));
    EXPECT_EQ(contentOf(at("run.sh")), "#!/bin/sh\necho two\n");
    struct stat info {};
    ASSERT_EQ(stat(at("run.sh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u);

    ASSERT_TRUE(platform::copyFile(at("staged").c_str(), at("fresh.sh").c_str()));
    ASSERT_EQ(stat(at("fresh.sh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(PlatformFilesTest, ADirectoryIsNoFileToRead) {
    fs::create_directory(at("data.pak"));
    EXPECT_EQ(platform::openFile(at("data.pak").c_str(), "rb"), nullptr);
    EXPECT_EQ(platform::lastError(), 5u);
    EXPECT_EQ(platform::openFile((dir_ + "\\data.pak").c_str(), "r"), nullptr);
    EXPECT_EQ(platform::openFile(at("data.pak").c_str(), "rb+"), nullptr);
    EXPECT_EQ(platform::openFile(at("data.pak").c_str(), "wb"), nullptr);
    EXPECT_TRUE(fs::is_directory(at("data.pak")));
}

// The temporaries of a process killed between its write and its rename stay
// beside the game file; the next replacement in that folder removes them, and
// only those whose process is gone.
TEST_F(PlatformFilesTest, LeftoverTemporariesOfDeadProcessesAreRemoved) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ofstream(at(".autoupdate~" + std::to_string(getpid()) + ".0.tmp")) << "half";
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string dead = ".autoupdate~" + std::to_string(child) + ".0.tmp";
    ASSERT_TRUE(fs::exists(at(dead)));

    const std::string living = ".autoupdate~" + std::to_string(getppid()) + ".3.tmp";
    const std::string own = ".autoupdate~" + std::to_string(getpid()) + ".9.tmp";
    const std::string unlike[] = {".autoupdate~12x.1.tmp", ".autoupdate~.1.tmp", "autoupdate~1.1.tmp",
                                  ".autoupdate~1.1.tmpx", ".game.dat." + std::to_string(child) + ".0.tmp"};
    put(at(living), "in use");
    put(at(own), "in use");
    for (const std::string& name : unlike) put(at(name), "a game file");
    put(at("source"), "new");
    put(at("game.dat"), "old");

    ASSERT_TRUE(platform::copyFile(at("source").c_str(), at("game.dat").c_str()));
    EXPECT_EQ(contentOf(at("game.dat")), "new");
    EXPECT_FALSE(fs::exists(at(dead)));
    EXPECT_TRUE(fs::exists(at(living)));
    EXPECT_TRUE(fs::exists(at(own)));
    for (const std::string& name : unlike) EXPECT_TRUE(fs::exists(at(name))) << name;
    // Nothing of this copy is left behind either.
    EXPECT_EQ(listing(dir_).size(), 4u + std::size(unlike));
}

TEST_F(PlatformFilesTest, ASubfolderIsSweptOnItsOwn) {
    fs::create_directory(at("sub"));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string dead = ".autoupdate~" + std::to_string(child) + ".12.tmp";
    put(at(dead), "half");
    put(at("sub/" + dead), "half");
    put(at("source"), "new");

    ASSERT_TRUE(platform::copyFile(at("source").c_str(), (dir_ + "\\sub\\a.dat").c_str()));
    EXPECT_FALSE(fs::exists(at("sub/" + dead)));
    EXPECT_TRUE(fs::exists(at(dead)));
    ASSERT_TRUE(platform::copyFile(at("source").c_str(), at("b.dat").c_str()));
    EXPECT_FALSE(fs::exists(at(dead)));
}

TEST_F(PlatformFilesTest, CopyOfALargeFileIsExact) {
    std::string big;
    for (int i = 0; i < 200000; ++i) big += static_cast<char>(i * 7 + i / 256);
    put(at("big.bin"), big);
    ASSERT_TRUE(platform::copyFile(at("big.bin").c_str(), at("copy.bin").c_str()));
    EXPECT_EQ(contentOf(at("copy.bin")), big);
}

TEST_F(PlatformFilesTest, CopyFailuresLeaveTheTargetAlone) {
    put(at("target.dat"), "keep");
    EXPECT_FALSE(platform::copyFile(at("missing.dat").c_str(), at("target.dat").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);
    EXPECT_EQ(contentOf(at("target.dat")), "keep");

    put(at("source.dat"), "data");
    EXPECT_FALSE(platform::copyFile(at("source.dat").c_str(), at("nodir/target.dat").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);

    // A directory in the target's place cannot be replaced by a file.
    fs::create_directory(at("busy"));
    EXPECT_FALSE(platform::copyFile(at("source.dat").c_str(), at("busy").c_str()));
    EXPECT_EQ(platform::lastError(), 5u);
    EXPECT_TRUE(fs::is_directory(at("busy")));
    EXPECT_EQ(listing(dir_).size(), 3u);

    // A directory is no source either.
    EXPECT_FALSE(platform::copyFile(at("busy").c_str(), at("x.dat").c_str()));
    EXPECT_EQ(platform::lastError(), 5u);
    EXPECT_FALSE(fs::exists(at("x.dat")));
}

TEST_F(PlatformFilesTest, DeleteFile) {
    put(at("gone.dat"), "x");
    EXPECT_TRUE(platform::deleteFile((dir_ + "\\gone.dat").c_str()));
    EXPECT_FALSE(fs::exists(at("gone.dat")));
    EXPECT_FALSE(platform::deleteFile(at("gone.dat").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);
}

TEST_F(PlatformFilesTest, ListingShowsFilesAndSubdirectoriesOnly) {
    put(at("a.txt"), "a");
    put(at("b.bin"), "b");
    fs::create_directory(at("sub"));
    put(at("sub/inner.txt"), "i");
    fs::create_directory_symlink(at("sub"), at("link"));

    std::map<std::string, bool> expected{{"a.txt", false}, {"b.bin", false}, {"sub", true}, {"link", true}};
    EXPECT_EQ(listing(dir_), expected);
    // With a trailing separator of either kind.
    EXPECT_EQ(listing(dir_ + "\\"), expected);
    EXPECT_EQ(listing(dir_ + "/"), expected);
    std::map<std::string, bool> inner{{"inner.txt", false}};
    EXPECT_EQ(listing(dir_ + "\\sub\\"), inner);
}

TEST_F(PlatformFilesTest, ListingOfEmptyAndMissingDirectories) {
    fs::create_directory(at("empty"));
    EXPECT_TRUE(listing(at("empty")).empty());

    platform::DirectoryListing list;
    platform::DirectoryListing::Entry entry;
    EXPECT_FALSE(list.open(at("missing").c_str()));
    EXPECT_EQ(platform::lastError(), 2u);
    EXPECT_FALSE(list.next(&entry));

    // A listing object can be opened again on another directory.
    put(at("empty/one"), "1");
    ASSERT_TRUE(list.open(at("empty").c_str()));
    ASSERT_TRUE(list.next(&entry));
    EXPECT_STREQ(entry.name, "one");
    EXPECT_FALSE(entry.isDirectory);
}

}  // namespace
