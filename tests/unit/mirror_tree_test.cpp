#include "files/mirror_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "autoupdate.h"
#include "files/md5.h"
#include "log/update_log.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace fs = std::filesystem;

namespace {

struct AskRecord {
    int calls = 0;
    std::string text;
    std::string caption;
    std::function<int(int call)> answer;
};

int askHandler(AutoUpdateHost* host, const char* text, const char* caption) {
    auto* record = static_cast<AskRecord*>(host->context);
    ++record->calls;
    record->text = text;
    record->caption = caption;
    return record->answer ? record->answer(record->calls) : 0;
}

intptr_t messageHandler(AutoUpdateHost*, unsigned, uintptr_t, intptr_t) {
    return 0;
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string digestOf(const fs::path& file) {
    uint8_t digest[16] = {};
    EXPECT_TRUE(Md5File(file.string().c_str(), digest)) << file;
    char text[33];
    Md5ToHex(digest, text);
    return text;
}

// The names of a directory in the order the listing delivers them, which is
// the order the walk visits them.
std::vector<std::string> listingOrder(const fs::path& directory) {
    std::vector<std::string> names;
    platform::DirectoryListing listing;
    if (listing.open((directory.string() + "\\").c_str())) {
        platform::DirectoryListing::Entry entry;
        while (listing.next(&entry)) {
            names.push_back(entry.name);
        }
    }
    return names;
}

class MirrorTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        root_ = fs::temp_directory_path() /
                ("mirror_tree_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "src");
        host_.message = messageHandler;
        host_.ask = askHandler;
        host_.context = &ask_;
        g_RunState.hostWindow = &host_;
        g_RunState.installOk = 1;
        ASSERT_TRUE(g_UpdateLog.open((root_ / "log.txt").string().c_str()));
    }
    void TearDown() override {
        resetRunState();
        fs::remove_all(root_);
    }

    fs::path src() const { return root_ / "src"; }
    fs::path dst() const { return root_ / "dst"; }

    // Stages a file below the source tree; relative uses "/".
    void stage(const std::string& relative, const std::string& content) {
        writeFile(src() / relative.substr(1), content);
    }

    void list(const std::string& path, const std::string& md5) {
        UpdateListEntry& entry = g_RunState.newList[g_RunState.newCount++];
        std::memset(static_cast<void*>(&entry), 0, sizeof entry);
        std::strncpy(entry.path, path.c_str(), sizeof entry.path - 1);
        std::strncpy(entry.md5, md5.c_str(), sizeof entry.md5 - 1);
        entry.needsDownload = true;
    }

    // Stages the file and lists it with its own digest.
    void stageListed(const std::string& relative, const std::string& content) {
        stage(relative, content);
        list(relative, digestOf(src() / relative.substr(1)));
    }

    // Both arguments end with "\", as the worker passes them.
    void mirror() {
        std::string destination = dst().string() + "\\";
        std::string source = src().string() + "\\";
        MirrorTree(destination.c_str(), source.c_str());
    }

    std::string log() const { return readAll(root_ / "log.txt"); }

    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }

    fs::path root_;
    AutoUpdateHost host_{};
    AskRecord ask_;
};

TEST_F(MirrorTreeTest, EmptySourceCreatesTheDestinationOnly) {
    mirror();
    ASSERT_TRUE(fs::is_directory(dst()));
    EXPECT_TRUE(fs::is_empty(dst()));
    EXPECT_EQ(1, g_RunState.installOk);
    EXPECT_EQ(0, ask_.calls);
}

TEST_F(MirrorTreeTest, MovesListedFilesAndRebuildsTheirDirectories) {
    stageListed("/top.dat", "top");
    stageListed("/data/maps/m1.map", "map one");
    stage("/data/other.txt", "not listed");
    fs::create_directories(src() / "empty" / "deeper");

    mirror();

    EXPECT_EQ("top", readAll(dst() / "top.dat"));
    EXPECT_EQ("map one", readAll(dst() / "data" / "maps" / "m1.map"));
    EXPECT_FALSE(fs::exists(src() / "top.dat"));
    EXPECT_FALSE(fs::exists(src() / "data" / "maps" / "m1.map"));
    // Unlisted files are neither copied nor removed; directories stay.
    EXPECT_EQ("not listed", readAll(src() / "data" / "other.txt"));
    EXPECT_FALSE(fs::exists(dst() / "data" / "other.txt"));
    EXPECT_TRUE(fs::is_directory(src() / "data" / "maps"));
    EXPECT_TRUE(fs::is_directory(dst() / "empty" / "deeper"));

    std::string destination = dst().string() + "\\data\\maps\\m1.map";
    EXPECT_TRUE(logHas("执行/data/maps/m1.map到" + destination + "的拷贝"));
    EXPECT_EQ(1, g_RunState.installOk);
    EXPECT_EQ(0, ask_.calls);
}

TEST_F(MirrorTreeTest, SameNameInTwoDirectoriesGoesOnlyToItsOwnPlace) {
    stageListed("/x/f.bin", "from x");
    stageListed("/y/f.bin", "from y");

    mirror();

    EXPECT_EQ("from x", readAll(dst() / "x" / "f.bin"));
    EXPECT_EQ("from y", readAll(dst() / "y" / "f.bin"));
    EXPECT_FALSE(fs::exists(src() / "x" / "f.bin"));
    EXPECT_FALSE(fs::exists(src() / "y" / "f.bin"));
    EXPECT_TRUE(logHas("/y/f.bin到/x/f.bin的不用拷贝"));
    // x/f.bin meets its own record first; once moved the scan for it ends.
    EXPECT_FALSE(logHas("/x/f.bin到/y/f.bin的不用拷贝"));
}

TEST_F(MirrorTreeTest, ListPathLongerThanTheDestinationPathStillCounts) {
    std::string longPath = "/" + std::string(dst().string().size() + 20, 'd') + "/f.bin";
    stage("/f.bin", "short place");
    list(longPath, digestOf(src() / "f.bin"));

    mirror();

    EXPECT_EQ("short place", readAll(dst() / "f.bin"));
}

TEST_F(MirrorTreeTest, DigestMismatchLeavesBothSidesAlone) {
    stage("/a.dat", "new content");
    list("/a.dat", "00000000000000000000000000000000");
    writeFile(dst() / "a.dat", "installed");
    // Uppercase hex text is another text, so it does not match either.
    stage("/b.dat", "bbb");
    std::string upper = digestOf(src() / "b.dat");
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    list("/b.dat", upper);

    mirror();

    EXPECT_EQ("new content", readAll(src() / "a.dat"));
    EXPECT_EQ("installed", readAll(dst() / "a.dat"));
    EXPECT_EQ("bbb", readAll(src() / "b.dat"));
    EXPECT_FALSE(fs::exists(dst() / "b.dat"));
    EXPECT_EQ(1, g_RunState.installOk);
    EXPECT_EQ(0, ask_.calls);
}

TEST_F(MirrorTreeTest, NameDifferingOnlyInCaseIsNotMoved) {
    stage("/Data.DAT", "content");
    list("/data.dat", digestOf(src() / "Data.DAT"));

    mirror();

    EXPECT_TRUE(fs::exists(src() / "Data.DAT"));
    EXPECT_FALSE(fs::exists(dst() / "Data.DAT"));
    EXPECT_FALSE(fs::exists(dst() / "data.dat"));
    EXPECT_FALSE(logHas("执行"));
}

TEST_F(MirrorTreeTest, PathListedTwiceIsMovedOnceWithoutAQuestion) {
    stageListed("/twice.dat", "once");
    list("/twice.dat", g_RunState.newList[0].md5);

    mirror();

    EXPECT_EQ("once", readAll(dst() / "twice.dat"));
    EXPECT_FALSE(fs::exists(src() / "twice.dat"));
    EXPECT_EQ(0, ask_.calls);
    EXPECT_EQ(1, g_RunState.installOk);
}

TEST_F(MirrorTreeTest, FailedCopyAsksAndYesRetriesAfterTheCauseIsGone) {
    stageListed("/locked.dat", "fresh");
    // A non-empty directory where the file belongs makes every copy fail.
    writeFile(dst() / "locked.dat" / "keep", "x");
    ask_.answer = [this](int call) {
        if (call == 2) {
            fs::remove_all(dst() / "locked.dat");
        }
        return 1;
    };

    mirror();

    std::string destination = dst().string() + "\\locked.dat";
    EXPECT_EQ(2, ask_.calls);
    EXPECT_EQ(destination +
                  "被程序占用，无法移动文件，请确定您的进程里没有程序使用这个文件\n是否重试？",
              ask_.text);
    EXPECT_EQ("提示", ask_.caption);
    EXPECT_EQ("fresh", readAll(dst() / "locked.dat"));
    EXPECT_FALSE(fs::exists(src() / "locked.dat"));
    EXPECT_EQ(1, g_RunState.installOk);
    EXPECT_TRUE(logHas(destination + "被程序占,错误类型"));
    EXPECT_TRUE(logHas(destination + "移动成功"));
}

TEST_F(MirrorTreeTest, NoLowersInstallOkAndSkipsLaterSubdirectories) {
    stageListed("/locked.dat", "fresh");
    stageListed("/plain.dat", "plain");
    for (const char* dir : {"s1", "s2", "s3", "s4"}) {
        stageListed(std::string("/") + dir + "/f.dat", dir);
    }
    writeFile(dst() / "locked.dat" / "keep", "x");
    ask_.answer = [](int) { return 0; };
    std::vector<std::string> order = listingOrder(src());
    auto lockedAt = std::find(order.begin(), order.end(), "locked.dat");
    ASSERT_NE(order.end(), lockedAt);

    mirror();

    EXPECT_EQ(1, ask_.calls);
    EXPECT_EQ(0, g_RunState.installOk);
    EXPECT_EQ("fresh", readAll(src() / "locked.dat"));
    EXPECT_TRUE(logHas(dst().string() + "\\locked.dat被程序占,错误类型"));
    // Files of a directory being listed are still handled after the refusal.
    EXPECT_EQ("plain", readAll(dst() / "plain.dat"));
    for (auto it = order.begin(); it != order.end(); ++it) {
        if (it->size() != 2) {
            continue;
        }
        if (it < lockedAt) {
            EXPECT_EQ(*it, readAll(dst() / *it / "f.dat")) << *it << " came before the refusal";
        } else {
            EXPECT_FALSE(fs::exists(dst() / *it)) << *it << " came after the refusal";
            EXPECT_TRUE(fs::exists(src() / *it / "f.dat"));
        }
    }

    // Later calls do nothing at all while the flag is lowered.
    fs::remove_all(dst());
    mirror();
    EXPECT_FALSE(fs::exists(dst()));
    EXPECT_EQ(1, ask_.calls);
}

TEST_F(MirrorTreeTest, StopRequestEndsTheWalkBeforeTheNextEntry) {
    stageListed("/a.dat", "a");
    g_RunState.stopRequested = 1;
    mirror();
    EXPECT_TRUE(fs::is_directory(dst()));
    EXPECT_TRUE(fs::exists(src() / "a.dat"));
    EXPECT_FALSE(fs::exists(dst() / "a.dat"));
    EXPECT_EQ(1, g_RunState.stopRequested);
}

TEST_F(MirrorTreeTest, StopRequestDuringTheWalkEndsEveryLevel) {
    stageListed("/deep/locked.dat", "locked");
    for (const char* name : {"d1.dat", "d2.dat", "d3.dat"}) {
        stageListed(std::string("/deep/") + name, name);
    }
    for (const char* name : {"r1.dat", "r2.dat", "r3.dat"}) {
        stageListed(std::string("/") + name, name);
    }
    writeFile(dst() / "deep" / "locked.dat" / "keep", "x");
    // The stop arrives while the question is up; the answer still counts.
    ask_.answer = [this](int) {
        g_RunState.stopRequested = 1;
        fs::remove_all(dst() / "deep" / "locked.dat");
        return 1;
    };
    std::vector<std::string> rootOrder = listingOrder(src());
    std::vector<std::string> deepOrder = listingOrder(src() / "deep");

    mirror();

    EXPECT_EQ(1, ask_.calls);
    EXPECT_EQ("locked", readAll(dst() / "deep" / "locked.dat"));
    auto checkLevel = [](const std::vector<std::string>& order, const std::string& pivot,
                         const fs::path& from, const fs::path& to) {
        auto pivotAt = std::find(order.begin(), order.end(), pivot);
        ASSERT_NE(order.end(), pivotAt);
        for (auto it = order.begin(); it != order.end(); ++it) {
            if (it == pivotAt || *it == "deep") {
                continue;
            }
            bool moved = fs::exists(to / *it);
            EXPECT_EQ(it < pivotAt, moved) << *it;
            EXPECT_EQ(!moved, fs::exists(from / *it)) << *it;
        }
    };
    checkLevel(deepOrder, "locked.dat", src() / "deep", dst() / "deep");
    checkLevel(rootOrder, "deep", src(), dst());
}

// After a stop nobody is there to answer: a retry that fails again is not
// asked about a second time, and the file stays staged.
TEST_F(MirrorTreeTest, StopDuringTheQuestionAsksNoMore) {
    stageListed("/locked.dat", "fresh");
    writeFile(dst() / "locked.dat" / "keep", "x");
    ask_.answer = [](int call) {
        g_RunState.stopRequested = 1;
        return call == 1 ? 1 : 0;
    };

    mirror();

    EXPECT_EQ(1, ask_.calls);
    EXPECT_EQ(0, g_RunState.installOk);
    EXPECT_EQ("fresh", readAll(src() / "locked.dat"));
    EXPECT_TRUE(fs::is_directory(dst() / "locked.dat"));
}

TEST_F(MirrorTreeTest, EntriesWhosePathsWouldNotFitArePassedOver) {
    // The source path alone passes 255 bytes with this name.
    std::string name(255 - src().string().size(), 'n');
    stage("/" + name, "long");
    list("/" + name, digestOf(src() / name));
    stageListed("/short.dat", "short");

    mirror();

    EXPECT_TRUE(fs::exists(src() / name));
    EXPECT_FALSE(fs::exists(dst() / name));
    EXPECT_EQ("short", readAll(dst() / "short.dat"));
}

// The install's plan: which records this run must install, which of them were
// already checked, and what the walk reports back.
class MirrorPlanTest : public MirrorTreeTest {
protected:
    void mirrorWith(MirrorPlan* plan) {
        std::string destination = dst().string() + "\\";
        std::string source = src().string() + "\\";
        MirrorTree(destination.c_str(), source.c_str(), plan);
    }
    static bool installed(const MirrorPlan& plan, std::size_t record) {
        return (plan.marks[record] & kMarkInstalled) != 0;
    }
};

TEST_F(MirrorPlanTest, MovedRecordsAreMarkedAndMissingOrChangedOnesAreNot) {
    stageListed("/moved.dat", "moved");
    list("/gone.dat", std::string(32, '0'));
    stage("/changed.dat", "changed since");
    list("/changed.dat", std::string(32, 'a'));
    stageListed("/sub/same.dat", "same");
    // The same path and digest listed twice: one move places both records.
    list("/sub/same.dat", g_RunState.newList[3].md5);

    MirrorPlan plan;
    ASSERT_EQ(5u, plan.marks.size());
    mirrorWith(&plan);

    EXPECT_TRUE(installed(plan, 0));
    EXPECT_FALSE(installed(plan, 1));
    EXPECT_FALSE(installed(plan, 2));
    EXPECT_TRUE(installed(plan, 3));
    EXPECT_TRUE(installed(plan, 4));
    EXPECT_EQ("changed since", readAll(src() / "changed.dat"));
    EXPECT_FALSE(fs::exists(dst() / "changed.dat"));
}

TEST_F(MirrorPlanTest, VerifiedRecordsAreNotDigestedAgainButEveryOtherFileIs) {
    // The listed digests are not those of the bytes: only the verified record
    // can be moved, since only it skips the digest.
    stage("/checked.dat", "checked after its transfer");
    list("/checked.dat", std::string(32, 'b'));
    stage("/earlier.dat", "staged by an earlier run");
    list("/earlier.dat", std::string(32, 'c'));
    MirrorPlan plan;
    plan.marks[0] = kMarkVerified;

    mirrorWith(&plan);

    EXPECT_EQ("checked after its transfer", readAll(dst() / "checked.dat"));
    EXPECT_TRUE(installed(plan, 0));
    EXPECT_TRUE(fs::exists(src() / "earlier.dat"));
    EXPECT_FALSE(installed(plan, 1));
}

TEST_F(MirrorPlanTest, RecordsOfTheOtherTreeAreNeitherTrustedNorMarked) {
    stage("/x.dll", "game copy");
    list("/x.dll", std::string(32, 'd'));
    g_RunState.newList[0].systemFile = 1;
    MirrorPlan plan;
    plan.marks[0] = kMarkVerified;
    plan.systemTree = false;

    mirrorWith(&plan);

    EXPECT_TRUE(fs::exists(src() / "x.dll")) << "a system record's mark says nothing of the game tree";
    EXPECT_FALSE(installed(plan, 0));

    stageListed("/y.dll", "system copy");
    g_RunState.newList[1].systemFile = 1;
    MirrorPlan gamePlan;
    gamePlan.systemTree = false;
    mirrorWith(&gamePlan);
    EXPECT_FALSE(fs::exists(dst() / "y.dll")) << "a system file is fetched into the system tree only";
    EXPECT_EQ("system copy", readAll(src() / "y.dll"));
    EXPECT_FALSE(installed(gamePlan, 1));
}

TEST_F(MirrorPlanTest, AFileStagedForARecordInPlaceIsRemovedNotInstalled) {
    // Bytes left by a transfer that was cut short, with the listed MD5: this
    // run fetched nothing for the record, so nothing vouches for them.
    stageListed("/twin.dat", "left by a broken transfer");
    stageListed("/fetched.dat", "fetched");
    // The same path fetched and in place at once: the fetched record wins.
    stageListed("/both.dat", "both");
    list("/both.dat", g_RunState.newList[2].md5);
    MirrorPlan plan;
    plan.marks = {kMarkInPlace, kMarkVerified, kMarkInPlace, kMarkVerified};

    mirrorWith(&plan);

    EXPECT_FALSE(fs::exists(dst() / "twin.dat"));
    EXPECT_FALSE(fs::exists(src() / "twin.dat"));
    EXPECT_FALSE(installed(plan, 0));
    EXPECT_TRUE(logHas(src().string() + "\\twin.dat不是本次更新下载的文件,已删除"));
    EXPECT_EQ("fetched", readAll(dst() / "fetched.dat"));
    EXPECT_EQ("both", readAll(dst() / "both.dat"));
    EXPECT_TRUE(installed(plan, 3));
}

TEST_F(MirrorPlanTest, ManyRecordsOfOneNameEachGoToTheirOwnPlace) {
    for (int i = 0; i < 40; ++i) {
        stageListed("/d" + std::to_string(i) + "/same.dat", "content " + std::to_string(i));
    }
    MirrorPlan plan;
    mirrorWith(&plan);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ("content " + std::to_string(i), readAll(dst() / ("d" + std::to_string(i)) / "same.dat"));
        EXPECT_TRUE(installed(plan, static_cast<std::size_t>(i)));
    }
    EXPECT_TRUE(logHas("/d1/same.dat到/d0/same.dat的不用拷贝"));
}

TEST_F(MirrorPlanTest, SystemFilesAreCopiedAndGameFilesRenamed) {
    struct stat staged {}, placed {};
    stageListed("/game.dat", "game");
    ASSERT_EQ(0, stat((src() / "game.dat").c_str(), &staged));
    MirrorPlan gamePlan;
    mirrorWith(&gamePlan);
    ASSERT_EQ(0, stat((dst() / "game.dat").c_str(), &placed));
    EXPECT_EQ(staged.st_ino, placed.st_ino) << "a game file is renamed";

    // A new file, so that the staging folder's security does not follow it.
    stageListed("/x.dll", "system");
    g_RunState.newList[1].systemFile = 1;
    ASSERT_EQ(0, stat((src() / "x.dll").c_str(), &staged));
    MirrorPlan systemPlan;
    systemPlan.systemTree = true;
    mirrorWith(&systemPlan);
    ASSERT_EQ(0, stat((dst() / "x.dll").c_str(), &placed));
    EXPECT_NE(staged.st_ino, placed.st_ino) << "a system file is copied";
    EXPECT_FALSE(fs::exists(src() / "x.dll"));
    EXPECT_TRUE(installed(systemPlan, 1));
}

TEST_F(MirrorPlanTest, AcrossFileSystemsTheFileIsCopiedThenRemoved) {
    struct stat tmpInfo {}, shmInfo {};
    if (stat("/dev/shm", &shmInfo) != 0 || stat(root_.c_str(), &tmpInfo) != 0 ||
        shmInfo.st_dev == tmpInfo.st_dev || access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system";
    }
    fs::path other = fs::path("/dev/shm") / ("mirror_plan_" + std::to_string(getpid()));
    fs::remove_all(other);
    stageListed("/far.dat", "far away");
    MirrorPlan plan;
    std::string destination = other.string() + "\\";
    std::string source = src().string() + "\\";
    MirrorTree(destination.c_str(), source.c_str(), &plan);

    EXPECT_EQ("far away", readAll(other / "far.dat"));
    EXPECT_FALSE(fs::exists(src() / "far.dat"));
    EXPECT_TRUE(installed(plan, 0));
    EXPECT_EQ(0, ask_.calls);
    fs::remove_all(other);
}

}  // namespace
