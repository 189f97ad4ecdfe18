#include "files/update_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files/list_path_check.h"
#include "run/run_state.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = "header one\nheader two\n";
const std::string kDigestA = "0123456789abcdef0123456789abcdef";
const std::string kDigestB = "fedcba9876543210fedcba9876543210";

class UpdateListTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        dir_ = fs::temp_directory_path() /
               ("update_list_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        list_.reset(new UpdateListEntry[kUpdateListCapacity + 1]);
        std::memset(static_cast<void*>(list_.get()), 0xAB,
                    sizeof(UpdateListEntry) * (kUpdateListCapacity + 1));
    }
    void TearDown() override {
        fs::remove_all(dir_);
        resetRunState();
    }

    // Writes the bytes as they are and reads them back; returns the count.
    int32_t read(const std::string& content, bool* overlong = nullptr) {
        std::string file = (dir_ / "list.upd").string();
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
        }
        int32_t count = -1;
        readUpdateList(file.c_str(), list_.get(), &count, overlong);
        return count;
    }

    const UpdateListEntry& at(int i) const { return list_[i]; }

    fs::path dir_;
    std::unique_ptr<UpdateListEntry[]> list_;
};

TEST_F(UpdateListTest, ReadsEveryFieldOfEachRecord) {
    ASSERT_EQ(2, read(kHeader + "\\data\\a.dat,1234,0," + kDigestA + ",\\x.dll,2048,1," + kDigestB +
                      "\n"));
    EXPECT_STREQ("/data/a.dat", at(0).path);
    EXPECT_EQ(1234, at(0).size);
    EXPECT_EQ(0, at(0).systemFile);
    EXPECT_EQ(kDigestA, at(0).md5);
    EXPECT_TRUE(at(0).needsDownload);
    EXPECT_STREQ("/x.dll", at(1).path);
    EXPECT_EQ(2048, at(1).size);
    EXPECT_EQ(1, at(1).systemFile);
    // 32 characters fill the field, so the line end after them is left out.
    EXPECT_EQ(kDigestB, at(1).md5);
    EXPECT_TRUE(at(1).needsDownload);
}

TEST_F(UpdateListTest, TurnsEveryBackslashOfThePathIntoSlash) {
    ASSERT_EQ(1, read(kHeader + "\\dir\\sub\\f.bin,5,0," + kDigestA));
    EXPECT_STREQ("/dir/sub/f.bin", at(0).path);
    // The field is cleared before the copy: nothing of the fill pattern stays.
    for (std::size_t k = std::strlen(at(0).path); k < sizeof at(0).path; ++k) {
        ASSERT_EQ('\0', at(0).path[k]) << "byte " << k;
    }
}

TEST_F(UpdateListTest, FilesWithoutRecordsGiveAnEmptyList) {
    EXPECT_EQ(0, read(kHeader + "\n"));
    EXPECT_EQ(0, read(kHeader));
    EXPECT_EQ(0, read("only one line\n"));
    EXPECT_EQ(0, read(""));
    EXPECT_EQ(0, read(kHeader + "/a.dat,1,0," + kDigestA + "\n"));
    EXPECT_EQ(0, read(kHeader + "\n\\a.dat,1,0," + kDigestA + "\n"));

    int32_t count = 99;
    readUpdateList((dir_ / "absent.upd").string().c_str(), list_.get(), &count);
    EXPECT_EQ(0, count);
    EXPECT_EQ(0, g_RunState.runFailed);
}

TEST_F(UpdateListTest, SkipsTextBetweenRecords) {
    ASSERT_EQ(2, read(kHeader + "junk before,\\a,1,0," + kDigestA + ";;junk\\b,2,0," + kDigestB +
                      ",trailing text\n"));
    EXPECT_STREQ("/a", at(0).path);
    EXPECT_EQ(kDigestA, at(0).md5);
    EXPECT_STREQ("/b", at(1).path);
    EXPECT_EQ(2, at(1).size);
}

TEST_F(UpdateListTest, DigestFieldStopsAtTheEndOfTheTextRead) {
    ASSERT_EQ(1, read(kHeader + "\\a.dat,10,0,"));
    EXPECT_STREQ("", at(0).md5);
    EXPECT_EQ(10, at(0).size);

    // The line end is read with the line and copied like any character.
    ASSERT_EQ(1, read(kHeader + "\\a.dat,10,0,\n"));
    EXPECT_STREQ("\n", at(0).md5);
}

TEST_F(UpdateListTest, RecordEndingBeforeItsDigestFieldIsDropped) {
    EXPECT_EQ(0, read(kHeader + "\\a.dat,10,0"));
    EXPECT_EQ(0, read(kHeader + "\\a.dat,10"));
    EXPECT_EQ(0, read(kHeader + "\\a.dat"));

    ASSERT_EQ(1, read(kHeader + "\\keep.dat,1,0," + kDigestA + ",\\cut.dat,10,0"));
    EXPECT_STREQ("/keep.dat", at(0).path);
    // The line end that closes the line read is no substitute for the comma.
    EXPECT_EQ(0, read(kHeader + "\\a.dat,10,0\n\\b.dat,1,0," + kDigestA + "\n"));
}

TEST_F(UpdateListTest, NumbersAreReadLikeAtoiFromTheirFirst19Characters) {
    ASSERT_EQ(4, read(kHeader + "\\a, 42,3," + kDigestA +
                      ",\\b,abc,-2," + kDigestA +
                      ",\\c,0000000000000004242999999,12x," + kDigestA +
                      ",\\d,99999999999,-99999999999," + kDigestA + "\n"));
    EXPECT_EQ(42, at(0).size);
    EXPECT_EQ(3, at(0).systemFile);
    EXPECT_EQ(0, at(1).size);
    EXPECT_EQ(-2, at(1).systemFile);
    // 25 characters: the six beyond the 19th are skipped, not converted.
    EXPECT_EQ(4242, at(2).size);
    EXPECT_EQ(12, at(2).systemFile);
    EXPECT_STREQ("/c", at(2).path);
    EXPECT_EQ(kDigestA, at(2).md5);
    // Out of the 32-bit range: held at the nearest limit.
    EXPECT_EQ(INT32_MAX, at(3).size);
    EXPECT_EQ(INT32_MIN, at(3).systemFile);
}

TEST_F(UpdateListTest, LongDigestKeepsItsFirst32Characters) {
    ASSERT_EQ(2, read(kHeader + "\\a," + "1,0," + kDigestA + "99887766" + ",\\b,2,0," + kDigestB));
    EXPECT_EQ(kDigestA, at(0).md5);
    EXPECT_STREQ("/b", at(1).path);
    EXPECT_EQ(kDigestB, at(1).md5);
}

TEST_F(UpdateListTest, RecordLineIsReadUpTo703999Characters) {
    const std::size_t limit = 703999;
    std::string first = "\\first.bin,1,0," + kDigestA + ",";
    std::string last = "\\last.bin,5,0," + kDigestB;

    // The last record ends exactly at the limit: still read whole.
    std::string line = first + std::string(limit - first.size() - last.size(), 'x') + last;
    ASSERT_EQ(limit, line.size());
    ASSERT_EQ(2, read(kHeader + line + "\n\\line4.bin,1,0," + kDigestA + "\n"));
    EXPECT_STREQ("/last.bin", at(1).path);
    EXPECT_EQ(kDigestB, at(1).md5);

    // Shifted by 36 characters the limit falls before the comma after its size.
    std::string shifted = first + std::string(limit - first.size() - last.size() + 36, 'x') + last;
    EXPECT_EQ(1, read(kHeader + shifted + "\n"));
    EXPECT_STREQ("/first.bin", at(0).path);

    // Shifted by 10 the limit cuts the digest, which is stored as far as read.
    std::string cutDigest = first + std::string(limit - first.size() - last.size() + 10, 'x') + last;
    ASSERT_EQ(2, read(kHeader + cutDigest + "\n"));
    EXPECT_EQ(kDigestB.substr(0, 22), at(1).md5);
}

TEST_F(UpdateListTest, HeaderLinesLongerThanTheBufferAreSkippedWhole) {
    std::string longHeader(900000, 'h');
    ASSERT_EQ(1, read(longHeader + "\n" + longHeader + "\n\\a.dat,1,0," + kDigestA + "\n"));
    EXPECT_STREQ("/a.dat", at(0).path);

    // A header exactly one byte short of filling the buffer with its line end.
    std::string exact(849198, 'h');
    ASSERT_EQ(1, read(exact + "\nsecond\n\\b.dat,2,0," + kDigestA + "\n"));
    EXPECT_STREQ("/b.dat", at(0).path);

    // A NUL inside a header line does not make it look like two lines.
    std::string withNul = std::string("one\0more", 8) + "\ntwo\n\\c.dat,3,0," + kDigestA + "\n";
    ASSERT_EQ(1, read(withNul));
    EXPECT_STREQ("/c.dat", at(0).path);
}

TEST_F(UpdateListTest, StopsAtTheCapacity) {
    std::string line;
    for (int i = 0; i <= kUpdateListCapacity; ++i) {
        line += "\\f" + std::to_string(i) + ",1,0," + kDigestA + ",";
    }
    ASSERT_EQ(kUpdateListCapacity, read(kHeader + line + "\n"));
    EXPECT_STREQ("/f4399", at(kUpdateListCapacity - 1).path);
    // The element past the end keeps the fill pattern.
    const unsigned char* guard = reinterpret_cast<const unsigned char*>(&at(kUpdateListCapacity));
    for (std::size_t k = 0; k < sizeof(UpdateListEntry); ++k) {
        ASSERT_EQ(0xAB, guard[k]) << "byte " << k;
    }
}

TEST_F(UpdateListTest, StopRequestEndsAfterTheRecordJustStored) {
    g_RunState.stopRequested = 1;
    ASSERT_EQ(1, read(kHeader + "\\a,1,0," + kDigestA + ",\\b,2,0," + kDigestB + "\n"));
    EXPECT_STREQ("/a", at(0).path);
    EXPECT_EQ(1, g_RunState.runFailed);
    EXPECT_EQ(1, g_RunState.stopRequested);

    resetRunState();
    ASSERT_EQ(2, read(kHeader + "\\a,1,0," + kDigestA + ",\\b,2,0," + kDigestB + "\n"));
    EXPECT_EQ(0, g_RunState.runFailed);
}

TEST_F(UpdateListTest, OverlongPathDropsTheRecordAndSaysSo) {
    std::string fits = "\\" + std::string(178, 'p');  // 179 characters: the most the field holds
    std::string tooLong = "\\" + std::string(179, 'q');

    bool overlong = false;
    ASSERT_EQ(1, read(kHeader + fits + ",1,0," + kDigestA + "\n", &overlong));
    EXPECT_FALSE(overlong);
    EXPECT_EQ(179u, std::strlen(at(0).path));
    EXPECT_EQ('\0', at(0).path[179]);

    ASSERT_EQ(2, read(kHeader + "\\a,1,0," + kDigestA + "," + tooLong + ",2,0," + kDigestB +
                          ",\\b,3,1," + kDigestB + "\n",
                      &overlong));
    EXPECT_TRUE(overlong);
    EXPECT_STREQ("/a", at(0).path);
    EXPECT_STREQ("/b", at(1).path);
    EXPECT_EQ(3, at(1).size);
    EXPECT_EQ(1, at(1).systemFile);

    // Without the flag's address the record is still left out.
    EXPECT_EQ(0, read(kHeader + tooLong + ",2,0," + kDigestB + "\n"));
}

TEST(ListPathCheck, AcceptsPathsThatStayBelowTheirDirectory) {
    for (const char* path : {"/a.dat", "/dir/sub/f.bin", "/a..b/c", "/.hidden", "/dir/..x",
                             "/x../y", "/\xd7\xd6\xbf\xe2.dat", "/with space/f"}) {
        EXPECT_TRUE(IsSafeListPath(path)) << path;
    }
}

TEST(ListPathCheck, RefusesPathsThatCouldLeaveTheirDirectory) {
    for (const char* path :
         {"", "a.dat", "\\a.dat", "//server/share", "/\\a", "/..", "/../x", "/a/..", "/a/../../b",
          "/a\\..\\b", "/a/./b", "/.. /x", "/a/...", "/c:/x", "/a.dat:stream", "/a\nb", "/a\tb",
          "/a\x7f", "/a/\x01"}) {
        EXPECT_FALSE(IsSafeListPath(path)) << "[" << path << "]";
    }
    EXPECT_FALSE(IsSafeListPath(nullptr));
}

TEST(ListPathCheck, RefusesDeviceNamesInAnyComponentAndPathsNamingNoFile) {
    for (const char* path :
         {"/", "/dir/", "/NUL", "/NUL.dat", "/nul", "/Nul.Dat.bak", "/CON", "/con.txt", "/PRN",
          "/aux.bin", "/AUX", "/COM1", "/com1.txt", "/COM9", "/LPT1", "/lpt9.log", "/COM0", "/LPT0",
          "/CONIN$", "/conout$", "/conout$.x", "/NUL.", "/NUL...", "/NUL ", "/NUL . ", "/CON .txt",
          "/com\xb9", "/LPT\xb2.dat", "/dir/NUL.dat/f", "/NUL/f.dat", "/a/b/Com3.dll",
          "/a\\AUX"}) {
        EXPECT_FALSE(IsSafeListPath(path)) << "[" << path << "]";
    }
}

TEST(ListPathCheck, AcceptsNamesThatOnlyResembleDevices) {
    for (const char* path :
         {"/NULL", "/nul_", "/CONS.txt", "/xcon", "/COM", "/COM10", "/LPT", "/LPTA.dat", "/COMX",
          "/AUXILIARY", "/CONIN", "/CONOUT", "/CONIN$$", "/ NUL", "/_NUL.dat", "/dir/nul-file",
          "/a.nul", "/data/cone/..x"}) {
        EXPECT_TRUE(IsSafeListPath(path)) << "[" << path << "]";
    }
}

TEST(ListPathCheck, ListIsSafeOnlyWhenEveryRecordIs) {
    std::vector<UpdateListEntry> list(3);
    std::memset(static_cast<void*>(list.data()), 0, sizeof(UpdateListEntry) * list.size());
    std::strcpy(list[0].path, "/a.dat");
    std::strcpy(list[1].path, "/dir/b.dat");
    std::strcpy(list[2].path, "/dir/../../c.dat");
    EXPECT_TRUE(ListIsSafe(list.data(), 2));
    EXPECT_FALSE(ListIsSafe(list.data(), 3));
    EXPECT_TRUE(ListIsSafe(list.data(), 0));

    std::memset(list[1].path, 'a', sizeof list[1].path);
    list[1].path[0] = '/';
    EXPECT_FALSE(ListIsSafe(list.data(), 2));
}

TEST_F(UpdateListTest, TraversalInAListIsStoredAsReadAndCaughtByTheCheck) {
    ASSERT_EQ(2, read(kHeader + "\\ok.dat,1,0," + kDigestA + ",\\..\\..\\etc\\passwd,2,0," +
                      kDigestB + "\n"));
    EXPECT_STREQ("/../../etc/passwd", at(1).path);
    EXPECT_TRUE(ListIsSafe(list_.get(), 1));
    EXPECT_FALSE(ListIsSafe(list_.get(), 2));
}

}  // namespace
