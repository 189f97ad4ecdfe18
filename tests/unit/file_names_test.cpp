#include "files/file_names.h"

#include <gtest/gtest.h>

namespace {

TEST(FileNamesTest, WindowsFoldsLettersButNeverTheSecondByteOfACharacter) {
    const struct {
        const char* a;
        const char* b;
        bool folded;  // the same name on Windows
    } rows[] = {
        {"/data/x.txt", "/Data/X.TXT", true},
        {"/data/x.txt", "/data/x.txt", true},
        {"/data/x.txt", "/data/x.tx", false},
        {"/data/x.txt", "/date/x.txt", false},
        {"x.txt", "y.txt", false},
        // Two characters of code page 936 whose second bytes are "A" and "a".
        {"\x81\x41.dat", "\x81\x61.dat", false},
        {"\x81\x41Z.dat", "\x81\x41z.dat", true},
        // "[" and "{" differ by the same bit as letters do, but are no letters.
        {"a[1]", "a{1]", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SameFileNameFolded(row.a, row.b, true), row.folded) << row.a << " " << row.b;
        EXPECT_EQ(SameFileNameFolded(row.a, row.b, false), std::string(row.a) == row.b) << row.a;
        if (row.folded) {
            EXPECT_EQ(HashFileNameFolded(row.a, true), HashFileNameFolded(row.b, true)) << row.a;
        }
    }
    EXPECT_NE(HashFileNameFolded("/data/x.txt", false), HashFileNameFolded("/Data/x.txt", false));
}

}  // namespace
