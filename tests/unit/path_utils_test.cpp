#include "files/path_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Output buffers are filled with a marker so that untouched output and
// writes past the end can both be seen.
constexpr char kMarker = '#';

struct Guarded {
    char bytes[300];
    Guarded() { std::memset(bytes, kMarker, sizeof bytes); }
    bool untouchedFrom(std::size_t offset) const {
        for (std::size_t i = offset; i < sizeof bytes; ++i) {
            if (bytes[i] != kMarker) {
                return false;
            }
        }
        return true;
    }
};

std::string lastComponent(const std::string& path, bool* ok) {
    Guarded out;
    *ok = LastPathComponent(path.c_str(), out.bytes);
    if (!*ok) {
        EXPECT_TRUE(out.untouchedFrom(0)) << "output written for a refused path";
        return {};
    }
    EXPECT_TRUE(out.untouchedFrom(257)) << "written past 257 bytes";
    return out.bytes;
}

TEST(LastPathComponentTest, TakesTheLastComponentWhateverTheSeparators) {
    bool ok = false;
    EXPECT_EQ(lastComponent("C:\\Games\\Client", &ok), "Client");
    EXPECT_TRUE(ok);
    EXPECT_EQ(lastComponent("C:/Games/Client//", &ok), "Client");
    EXPECT_TRUE(ok);
    EXPECT_EQ(lastComponent("Client", &ok), "Client");
    EXPECT_TRUE(ok);
    EXPECT_EQ(lastComponent("C:\\Games/Client\\/", &ok), "Client");
    EXPECT_TRUE(ok);
    for (const char* path : {"a", "/a", "a/", "\\a\\", "x/a"}) {
        EXPECT_EQ(lastComponent(path, &ok), "a") << path;
        EXPECT_TRUE(ok) << path;
    }
}

TEST(LastPathComponentTest, RefusesEmptySeparatorOnlyAndOverlongPaths) {
    bool ok = true;
    for (const char* path : {"", "\\", "/", "//\\/"}) {
        lastComponent(path, &ok);
        EXPECT_FALSE(ok) << '"' << path << '"';
    }
    Guarded out;
    EXPECT_FALSE(LastPathComponent(nullptr, out.bytes));
    EXPECT_TRUE(out.untouchedFrom(0));
}

TEST(LastPathComponentTest, AcceptsExactly256Bytes) {
    std::string name(256, 'n');
    bool ok = false;
    EXPECT_EQ(lastComponent(name, &ok), name);
    EXPECT_TRUE(ok);

    std::string withDirectory = "d\\" + std::string(254, 'm');
    ASSERT_EQ(withDirectory.size(), 256u);
    EXPECT_EQ(lastComponent(withDirectory, &ok), std::string(254, 'm'));
    EXPECT_TRUE(ok);

    lastComponent(std::string(257, 'n'), &ok);
    EXPECT_FALSE(ok);
    lastComponent("d\\" + std::string(255, 'm'), &ok);
    EXPECT_FALSE(ok);
}

struct Split {
    bool result;
    std::string component;
    std::string rest;
};

Split split(char* text) {
    Guarded out;
    Split s;
    s.result = SplitFirstComponent(text, out.bytes);
    if (s.result) {
        s.component = out.bytes;
        EXPECT_TRUE(out.untouchedFrom(256));
    } else {
        EXPECT_TRUE(out.untouchedFrom(0)) << "output written without a component";
    }
    s.rest = text;
    return s;
}

TEST(SplitFirstComponentTest, YieldsDirectoriesOneByOneAndLeavesTheName) {
    char text[256] = "data/sub/file.dat";
    Split s = split(text);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, "data");
    EXPECT_EQ(s.rest, "sub/file.dat");
    s = split(text);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, "sub");
    s = split(text);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.rest, "file.dat");
}

TEST(SplitFirstComponentTest, TrailingSeparatorLeavesAnEmptyText) {
    char text[256] = "\\Update\\";
    Split s = split(text);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, "Update");
    EXPECT_EQ(s.rest, "");
    EXPECT_FALSE(split(text).result);
}

TEST(SplitFirstComponentTest, LeadingAndDoubledSeparators) {
    char leading[256] = "//a/b";
    Split s = split(leading);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, "a");
    EXPECT_EQ(s.rest, "b");

    char doubled[256] = "a//b";
    s = split(doubled);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, "a");
    EXPECT_EQ(s.rest, "/b");
    s = split(doubled);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.rest, "b");
}

TEST(SplitFirstComponentTest, NoSeparatorAfterTheLeadingOnes) {
    char plain[256] = "name";
    Split s = split(plain);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.rest, "name");

    char single[256] = "\\";
    s = split(single);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.rest, "");

    char empty[256] = "";
    EXPECT_FALSE(split(empty).result);
}

TEST(SplitFirstComponentTest, MixedSeparators) {
    char text[256] = "a/b\\c";
    EXPECT_EQ(split(text).component, "a");
    Split s = split(text);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, "b");
    s = split(text);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.rest, "c");
}

TEST(SplitFirstComponentTest, RefusesAComponentTooLongForTheOutput) {
    std::string longText = std::string(300, 'x') + "/tail";
    std::vector<char> text(longText.begin(), longText.end());
    text.push_back('\0');
    Split s = split(text.data());
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.rest, longText);

    std::string fits = std::string(255, 'y') + "/" + std::string(40, 'z');
    std::vector<char> fitting(fits.begin(), fits.end());
    fitting.push_back('\0');
    s = split(fitting.data());
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.component, std::string(255, 'y'));
    EXPECT_EQ(s.rest, std::string(40, 'z'));
}

class CreateDirectoryChainTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/path_utils_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        std::memset(running_, 0, sizeof running_);
        std::memcpy(running_, base_.c_str(), base_.size());
    }
    void TearDown() override { fs::remove_all(base_); }

    std::string base_;
    char running_[256];
};

TEST_F(CreateDirectoryChainTest, CreatesEveryLevelAndKeepsTheDeepest) {
    CreateDirectoryChain(running_, "data\\maps/level1\\file.dat");
    EXPECT_EQ(std::string(running_), base_ + "\\data\\maps\\level1");
    EXPECT_TRUE(fs::is_directory(base_ + "/data/maps/level1"));
    EXPECT_FALSE(fs::exists(base_ + "/data/maps/level1/file.dat"));

    // A second call continues below where the first ended.
    CreateDirectoryChain(running_, "/more/deep/");
    EXPECT_EQ(std::string(running_), base_ + "\\data\\maps\\level1\\more\\deep");
    EXPECT_TRUE(fs::is_directory(base_ + "/data/maps/level1/more/deep"));
}

TEST_F(CreateDirectoryChainTest, ExistingDirectoriesDoNotStopTheChain) {
    fs::create_directories(base_ + "/data");
    CreateDirectoryChain(running_, "data/new/x.bin");
    EXPECT_TRUE(fs::is_directory(base_ + "/data/new"));
    EXPECT_EQ(std::string(running_), base_ + "\\data\\new");
}

TEST_F(CreateDirectoryChainTest, NameWithoutSeparatorCreatesNothing) {
    CreateDirectoryChain(running_, "file.dat");
    EXPECT_EQ(std::string(running_), base_);
    EXPECT_TRUE(fs::is_empty(base_));
}

TEST_F(CreateDirectoryChainTest, OverlongRelativePathIsRefusedWhole) {
    std::string relative = "first/" + std::string(300, 'r') + "/file";
    CreateDirectoryChain(running_, relative.c_str());
    EXPECT_EQ(std::string(running_), base_);
    EXPECT_TRUE(fs::is_empty(base_));
}

TEST_F(CreateDirectoryChainTest, StopsAtTheFirstLevelThatWouldOverflowTheRunningPath) {
    // The first level fills the running path to exactly 255 bytes.
    std::string first(255 - base_.size() - 1, 'f');
    std::string relative = first + "/d/file";
    CreateDirectoryChain(running_, relative.c_str());
    EXPECT_EQ(std::string(running_), base_ + "\\" + first);
    EXPECT_EQ(std::strlen(running_), 255u);
    EXPECT_TRUE(fs::is_directory(base_ + "/" + first));
    EXPECT_FALSE(fs::exists(base_ + "/" + first + "/d"));
}

}  // namespace
