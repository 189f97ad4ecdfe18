#include "files/narrow_text.h"

#include <gtest/gtest.h>

// The POSIX build's system code page is 936.
namespace {

TEST(EndsWithBackslash, SingleByteTexts) {
    EXPECT_TRUE(EndsWithBackslash("C:\\Games\\X\\"));
    EXPECT_TRUE(EndsWithBackslash("\\"));
    EXPECT_FALSE(EndsWithBackslash("C:\\Games\\X"));
    EXPECT_FALSE(EndsWithBackslash("C:\\Games\\X/"));
    EXPECT_FALSE(EndsWithBackslash(""));
    EXPECT_FALSE(EndsWithBackslash(nullptr));
}

// 誠 is D5 5C and 表 is B1 ED in code page 936.
TEST(EndsWithBackslash, TrailByteOfADoubleByteCharacterIsNoSeparator) {
    EXPECT_FALSE(EndsWithBackslash("C:\\Games\\\xD5\x5C"));
    EXPECT_FALSE(EndsWithBackslash("\xD5\x5C"));
    EXPECT_FALSE(EndsWithBackslash("C:\\\xD5\x5C\xD5\x5C"));
    EXPECT_TRUE(EndsWithBackslash("C:\\Games\\\xD5\x5C\\"));
    EXPECT_TRUE(EndsWithBackslash("C:\\\xB1\xED\\"));
    // A lead byte right before a "\" takes it as its trail byte.
    EXPECT_FALSE(EndsWithBackslash("C:\\a\x81\\"));
    EXPECT_FALSE(EndsWithBackslash("C:\\a\xFE\\"));
    // 0x80 and 0xFF lead nothing.
    EXPECT_TRUE(EndsWithBackslash("C:\\a\x80\\"));
    EXPECT_TRUE(EndsWithBackslash("C:\\a\xFF\\"));
}

TEST(EndsWithBackslash, PairsAreCountedFromTheStart) {
    // D5 D5 5C: the first D5 leads the second, so the 5C stands alone.
    EXPECT_TRUE(EndsWithBackslash("\xD5\xD5\\"));
    // D5 D5 D5 5C: the pairs are D5 D5 and D5 5C.
    EXPECT_FALSE(EndsWithBackslash("\xD5\xD5\xD5\\"));
    // A lead byte at the very end has no trail byte and is a character alone.
    EXPECT_FALSE(EndsWithBackslash("C:\\\xD5"));
    EXPECT_TRUE(EndsWithBackslash("C:\\\xD5\x5C\x81\x40\\"));
}

}  // namespace
