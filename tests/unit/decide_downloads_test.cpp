#include "worker/decide_downloads.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/digest_pool.h"
#include "files/md5.h"
#include "files/record_index.h"
#include "log/update_log.h"
#include "run/run_state.h"

namespace fs = std::filesystem;

namespace {

UpdateListEntry record(const std::string& path, const std::string& md5, int32_t systemFile = 0) {
    UpdateListEntry entry;
    std::memset(static_cast<void*>(&entry), 0, sizeof entry);
    std::strncpy(entry.path, path.c_str(), sizeof entry.path - 1);
    std::strncpy(entry.md5, md5.c_str(), sizeof entry.md5 - 1);
    entry.systemFile = systemFile;
    entry.needsDownload = true;
    return entry;
}

// The walk over every pair that the hashed lookup must agree with.
void pairwise(const std::vector<UpdateListEntry>& installed, std::vector<UpdateListEntry>* fresh) {
    for (UpdateListEntry& entry : *fresh) {
        for (const UpdateListEntry& old : installed) {
            if (std::strcmp(old.md5, entry.md5) == 0 && std::strcmp(old.path, entry.path) == 0) {
                entry.needsDownload = false;
                break;
            }
        }
    }
}

bool neverStop() { return false; }

int g_stopAfter = 0;
bool stopAfterSome() { return g_stopAfter-- <= 0; }

TEST(MatchInstalledRecords, AgreesWithThePairwiseScanOnRandomLists) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 200; ++round) {
        // Few distinct paths and digests, so that equal paths with other
        // digests, equal digests under other paths and duplicates all occur.
        int paths = 1 + static_cast<int>(random() % 12);
        int digests = 1 + static_cast<int>(random() % 6);
        auto draw = [&]() {
            std::string path = "/dir" + std::to_string(random() % 3) + "/f" +
                               std::to_string(random() % static_cast<unsigned>(paths));
            std::string md5(32, 'a');
            md5[31] = static_cast<char>('0' + random() % static_cast<unsigned>(digests));
            return record(path, md5);
        };
        std::vector<UpdateListEntry> installed(random() % 40);
        for (auto& entry : installed) entry = draw();
        std::vector<UpdateListEntry> fresh(random() % 40);
        for (auto& entry : fresh) entry = draw();
        std::vector<UpdateListEntry> expected = fresh;
        pairwise(installed, &expected);

        ASSERT_TRUE(matchInstalledRecords(installed.data(), static_cast<int32_t>(installed.size()),
                                          fresh.data(), static_cast<int32_t>(fresh.size()), neverStop));
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            ASSERT_EQ(expected[i].needsDownload, fresh[i].needsDownload)
                << "round " << round << " record " << i << " " << fresh[i].path << " " << fresh[i].md5;
        }
    }
}

TEST(MatchInstalledRecords, ComparesExactTextsAndStopsWhenAsked) {
    std::string digest(32, 'c');
    std::vector<UpdateListEntry> installed = {record("/a.txt", digest), record("/b.txt", digest)};
    std::string upper = digest;
    upper[0] = 'C';
    std::vector<UpdateListEntry> fresh = {record("/A.txt", digest), record("/a.txt", upper),
                                          record("/b.txt", digest), record("/a.txt", digest)};
    ASSERT_TRUE(matchInstalledRecords(installed.data(), 2, fresh.data(), 4, neverStop));
    EXPECT_TRUE(fresh[0].needsDownload);
    EXPECT_TRUE(fresh[1].needsDownload);
    EXPECT_FALSE(fresh[2].needsDownload);
    EXPECT_FALSE(fresh[3].needsDownload);

    for (auto& entry : fresh) entry.needsDownload = true;
    g_stopAfter = 3;
    EXPECT_FALSE(matchInstalledRecords(installed.data(), 2, fresh.data(), 4, stopAfterSome));
    EXPECT_FALSE(fresh[2].needsDownload) << "the records before the stop are decided";
    EXPECT_TRUE(fresh[3].needsDownload) << "the records after the stop are not";

    // An empty installed list matches nothing.
    EXPECT_TRUE(matchInstalledRecords(installed.data(), 0, fresh.data(), 4, neverStop));
    EXPECT_TRUE(fresh[3].needsDownload);
}

TEST(RecordIndex, ChainsHoldEveryRecordOfAHashInAscendingOrder) {
    std::vector<uint32_t> hashes = {7, 3, 7, 7 + 1024, 3, 9};
    RecordIndex index;
    index.build(hashes.data(), static_cast<int32_t>(hashes.size()));
    std::vector<int32_t> sevens;
    for (int32_t i = index.first(7); i >= 0; i = index.next(i)) {
        if (hashes[static_cast<std::size_t>(i)] == 7) sevens.push_back(i);
    }
    EXPECT_EQ((std::vector<int32_t>{0, 2}), sevens);
    int32_t previous = -1;
    for (int32_t i = index.first(3); i >= 0; i = index.next(i)) {
        EXPECT_GT(i, previous);
        previous = i;
    }
    RecordIndex empty;
    EXPECT_EQ(-1, empty.first(7));
    empty.build(nullptr, 0);
    EXPECT_EQ(-1, empty.first(7));
    EXPECT_NE(HashText("/a.txt"), HashText("/b.txt"));
    EXPECT_EQ(HashText("bc", HashText("a")), HashText("abc"));
}

// The whole decision over files on disk: staging tree, installed copies and
// the installed list.
class DecideDownloadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        root_ = fs::temp_directory_path() /
                ("decide_downloads_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "game" / "Update" / "pkg");
        fs::create_directories(root_ / "system");
        std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", (root_ / "game").c_str());
        std::snprintf(g_RunState.systemDir, sizeof g_RunState.systemDir, "%s", (root_ / "system").c_str());
        gameStaging_ = (root_ / "game" / "Update" / "pkg").string();
        systemStaging_ = (root_ / "game" / "Update" / "pkgsystem").string();
        ASSERT_TRUE(g_UpdateLog.open((root_ / "log.txt").c_str()));
    }
    void TearDown() override {
        resetRunState();
        fs::remove_all(root_);
    }

    static std::string digestOf(const std::string& text) {
        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        uint8_t digest[16];
        Md5Final(digest, &context);
        char hex[33];
        Md5ToHex(digest, hex);
        return hex;
    }
    void put(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    void listNew(const std::string& path, const std::string& text, int32_t systemFile = 0) {
        g_RunState.newList[g_RunState.newCount++] = record(path, digestOf(text), systemFile);
    }
    void listInstalled(const std::string& path, const std::string& text) {
        g_RunState.installedList[g_RunState.installedCount++] = record(path, digestOf(text));
    }
    std::string log() const {
        std::ifstream in(root_ / "log.txt", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool decide() {
        return decideDownloads(gameStaging_.c_str(), systemStaging_.c_str(), sources_);
    }

    fs::path root_;
    std::string gameStaging_;
    std::string systemStaging_;
    RecordSource sources_[8] = {};
};

TEST_F(DecideDownloadsTest, LaterRunTakesMatchingStagedCopiesAndFetchesTheRest) {
    listInstalled("/same.txt", "same");
    listInstalled("/changed.txt", "old");
    listInstalled("/stale.txt", "old");
    listNew("/same.txt", "same");
    listNew("/changed.txt", "new");
    listNew("/stale.txt", "new");
    listNew("/sys.dll", "system", 1);
    put(root_ / "game/Update/pkg/changed.txt", "new");
    put(root_ / "game/Update/pkg/stale.txt", "half");
    put(root_ / "game/Update/pkgsystem/sys.dll", "system");
    // A staged copy of a record that is in place changes nothing.
    put(root_ / "game/Update/pkg/same.txt", "other");

    ASSERT_TRUE(decide());

    EXPECT_EQ(kSourceInPlace, sources_[0]);
    EXPECT_EQ(kSourceStaged, sources_[1]);
    EXPECT_EQ(kSourceFetch, sources_[2]);
    EXPECT_EQ(kSourceStaged, sources_[3]);
    EXPECT_FALSE(g_RunState.newList[0].needsDownload);
    EXPECT_FALSE(g_RunState.newList[1].needsDownload);
    EXPECT_TRUE(g_RunState.newList[2].needsDownload);
    EXPECT_FALSE(g_RunState.newList[3].needsDownload);
    EXPECT_NE(std::string::npos, log().find("/changed.txt已在暂存目录中,不再下载"));
    EXPECT_NE(std::string::npos, log().find("/sys.dll已在暂存目录中,不再下载"));
    EXPECT_EQ(std::string::npos, log().find("/stale.txt已在"));
    EXPECT_EQ(std::string::npos, log().find("/same.txt已在"));
}

TEST_F(DecideDownloadsTest, FirstRunLooksAtTheStagedCopyFirstThenTheInstalledOne) {
    listNew("/installed.txt", "one");
    listNew("/staged.txt", "two");
    listNew("/outranked.txt", "three");
    listNew("/missing.txt", "four");
    listNew("/sys.dll", "five", 1);
    put(root_ / "game/installed.txt", "one");
    put(root_ / "game/Update/pkg/staged.txt", "two");
    put(root_ / "game/outranked.txt", "three");
    put(root_ / "game/Update/pkg/outranked.txt", "an older three");
    put(root_ / "system/sys.dll", "five");

    ASSERT_TRUE(decide());

    EXPECT_EQ(kSourceInPlace, sources_[0]);
    EXPECT_EQ(kSourceStaged, sources_[1]);
    EXPECT_EQ(kSourceFetch, sources_[2]);
    EXPECT_EQ(kSourceFetch, sources_[3]);
    EXPECT_EQ(kSourceInPlace, sources_[4]);
    EXPECT_TRUE(g_RunState.newList[2].needsDownload);
    EXPECT_TRUE(g_RunState.newList[3].needsDownload);
    EXPECT_FALSE(g_RunState.newList[4].needsDownload);
}

// Many records read by the helpers at once: each decided as alone, and the
// log lines in the list's order.
TEST_F(DecideDownloadsTest, FirstRunOverManyFilesDecidesInTheListsOrder) {
    const RecordSource expected[5] = {kSourceInPlace, kSourceFetch, kSourceStaged, kSourceFetch, kSourceFetch};
    std::vector<RecordSource> sources(40);
    for (int i = 0; i < 40; ++i) {
        const std::string name = "/f" + std::to_string(i) + ".txt", text(1000 + i, 'a' + i % 26);
        listNew(name, text);
        if (i % 5 == 0) put(root_ / ("game" + name), text);
        if (i % 5 == 1) put(root_ / ("game" + name), "changed");
        if (i % 5 == 2) put(root_ / ("game/Update/pkg" + name), text);
        if (i % 5 == 3) put(root_ / ("game/Update/pkg" + name), "half");
        if (i % 5 == 3) put(root_ / ("game" + name), text);
    }
    ASSERT_TRUE(decideDownloads(gameStaging_.c_str(), systemStaging_.c_str(), sources.data()));
    std::size_t logged = 0;
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(expected[i % 5], sources[i]) << i;
        EXPECT_EQ(sources[i] == kSourceFetch, g_RunState.newList[i].needsDownload) << i;
        const std::size_t at = log().find("/f" + std::to_string(i) + ".txt已在暂存目录中");
        if (i % 5 != 2) continue;
        ASSERT_NE(std::string::npos, at) << i;
        EXPECT_LT(logged, at) << i;
        logged = at;
    }
}

TEST(JudgeCopy, ReadsTheFirstPathThatOpensAndWantsTheSignedDigestToo) {
    const fs::path file = fs::temp_directory_path() / "judge_copy_test.txt";
    std::ofstream(file, std::ios::binary) << "abc";
    CopyCheck check;
    check.paths[0] = (file.string() + ".absent");
    check.paths[1] = file.string();
    std::strcpy(check.md5, "900150983cd24fb0d6963f7d28e17f72");
    std::vector<uint8_t> buffer;
    JudgeCopy(&check, &buffer);
    EXPECT_EQ(1, check.opened);
    EXPECT_TRUE(check.matches);
    // SHA-256 of "abc", then one byte off.
    const char* sha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    for (int i = 0; i < 32; ++i) check.sha256[i] = static_cast<uint8_t>(std::stoi(std::string(sha + 2 * i, 2), nullptr, 16));
    check.signedBuild = true;
    JudgeCopy(&check, &buffer);
    EXPECT_TRUE(check.matches);
    const std::atomic<bool> abandon{true};
    JudgeCopy(&check, &buffer, &abandon);
    EXPECT_FALSE(check.matches) << "a read left part way proves nothing";
    check.sha256[31] ^= 1;
    JudgeCopy(&check, &buffer);
    EXPECT_FALSE(check.matches);
    fs::remove(file);
    JudgeCopy(&check, &buffer);
    EXPECT_EQ(-1, check.opened);
    EXPECT_FALSE(check.matches);
}

TEST_F(DecideDownloadsTest, StopRequestEndsTheDecision) {
    // Files enough for the helpers to start: they are waited for.
    for (const char* name : {"/a.txt", "/b.txt", "/c.txt"}) {
        listNew(name, name);
        put(root_ / ("game" + std::string(name)), name);
    }
    g_RunState.stopRequested = 1;
    EXPECT_FALSE(decide());
    EXPECT_EQ(0, g_RunState.stopRequested);
    EXPECT_EQ(1, g_RunState.workerFinished);
}

}  // namespace
