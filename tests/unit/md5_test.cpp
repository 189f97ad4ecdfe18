#include "files/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class Md5Test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/md5_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string writeFile(const std::string& name, const std::string& bytes) {
        std::string path = directory_ + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::string directory_;
};

std::string hexOf(const uint8_t digest[16]) {
    char text[33];
    Md5ToHex(digest, text);
    return text;
}

std::string fileDigestHex(const std::string& path) {
    uint8_t digest[16] = {};
    EXPECT_TRUE(Md5File(path.c_str(), digest));
    return hexOf(digest);
}

std::string digestInPieces(const std::string& bytes, std::size_t piece) {
    Md5Context context;
    Md5Init(&context);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        std::size_t length = std::min(piece, bytes.size() - at);
        Md5Update(&context, reinterpret_cast<const uint8_t*>(bytes.data()) + at, length);
    }
    uint8_t digest[16];
    Md5Final(digest, &context);
    return hexOf(digest);
}

// The same byte pattern as: python3 -c "import sys; sys.stdout.buffer.write(
// bytes((i*31+7)%256 for i in range(N)))" | md5sum
std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + 7) % 256);
    }
    return bytes;
}

// Bytes without a short period, so that digesting a block twice or from the
// wrong place cannot go unseen. The same bytes as: python3 -c "
// x=1; b=bytearray(N)
// for i in range(N): x=(x*1103515245+12345)&0xffffffff; b[i]=x>>24
// import sys; sys.stdout.buffer.write(b)" | md5sum
std::string noiseBytes(std::size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string digestInSchedule(const uint8_t* bytes, std::size_t size,
                             const std::vector<std::size_t>& pieces) {
    Md5Context context;
    Md5Init(&context);
    std::size_t at = 0;
    for (std::size_t turn = 0; at < size; ++turn) {
        std::size_t length = std::min(pieces[turn % pieces.size()], size - at);
        Md5Update(&context, bytes + at, length);
        at += length;
    }
    uint8_t digest[16];
    Md5Final(digest, &context);
    return hexOf(digest);
}

TEST_F(Md5Test, FilesOfTheRfcTestSuiteDigestToTheListedValues) {
    const struct {
        const char* input;
        const char* digest;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    int index = 0;
    for (const auto& vector : vectors) {
        std::string path = writeFile("rfc" + std::to_string(index++), vector.input);
        EXPECT_EQ(fileDigestHex(path), vector.digest) << '"' << vector.input << '"';
    }
}

TEST_F(Md5Test, PaddingBoundariesMatchReferenceDigestsAndAnySplitOfTheInput) {
    // Reference values from md5sum over patternBytes(size).
    const struct {
        std::size_t size;
        const char* digest;
    } cases[] = {
        {55, "c9e512626618c9980ef21a96597af94c"},
        {56, "ecde7caa08e9f5657c863df107cac60a"},
        {63, "2f0301069e1c40af7f6c8f843b1b13f2"},
        {64, "b6bf87c24b1bc334e2541387a92b981b"},
        {65, "f168246f08b6134d66bd2a10343fa9f1"},
    };
    for (const auto& c : cases) {
        std::string bytes = patternBytes(c.size);
        std::string path = writeFile("boundary" + std::to_string(c.size), bytes);
        EXPECT_EQ(fileDigestHex(path), c.digest) << c.size << " bytes";
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{63}, bytes.size()}) {
            EXPECT_EQ(digestInPieces(bytes, piece), c.digest)
                << c.size << " bytes in pieces of " << piece;
        }
    }
}

TEST_F(Md5Test, FileReadInSeveralBlocksDigestsLikeTheWholeInput) {
    std::string bytes = patternBytes(3000);
    std::string path = writeFile("large.bin", bytes);
    // md5sum over patternBytes(3000).
    const char* reference = "b32692527de03c91ea517449e84c80ed";
    EXPECT_EQ(fileDigestHex(path), reference);
    EXPECT_EQ(digestInPieces(bytes, bytes.size()), reference);
    EXPECT_EQ(digestInPieces(bytes, 1), reference);
    EXPECT_EQ(digestInPieces(bytes, 1000), reference);
}

TEST(Md5UpdateTest, UpdatesOfOddSizesAcrossBlockBoundariesMatchTheOneShotDigest) {
    const std::string bytes = noiseBytes(200003);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const char* reference = "d96bd9533f727a3a54befc433e7569d1";  // md5sum
    ASSERT_EQ(digestInSchedule(data, bytes.size(), {bytes.size()}), reference);

    // Each schedule leaves the context's buffer part full before a long
    // update, ends a call exactly on a block edge, or stays within a block.
    const std::vector<std::vector<std::size_t>> schedules = {
        {1},
        {3, 61},
        {63, 65},
        {64, 1, 127},
        {5, 4096},
        {65537, 7},
        {129, 0, 191, 320},
        {55, 9, 1000003},
    };
    for (const auto& schedule : schedules) {
        std::string pieces;
        for (std::size_t piece : schedule) pieces += std::to_string(piece) + " ";
        EXPECT_EQ(digestInSchedule(data, bytes.size(), schedule), reference)
            << "pieces of " << pieces;
    }
}

TEST(Md5UpdateTest, InputAtAnyAlignmentDigestsAlike) {
    const std::string bytes = noiseBytes(4099);
    const std::string reference = digestInSchedule(
        reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), {bytes.size()});
    std::vector<uint8_t> storage(bytes.size() + 8);
    for (std::size_t offset = 1; offset < 8; ++offset) {
        std::copy(bytes.begin(), bytes.end(), storage.begin() + offset);
        EXPECT_EQ(digestInSchedule(storage.data() + offset, bytes.size(), {bytes.size()}),
                  reference)
            << "offset " << offset;
        EXPECT_EQ(digestInSchedule(storage.data() + offset, bytes.size(), {13, 1024}), reference)
            << "offset " << offset << " in pieces";
    }
}

TEST(Md5UpdateTest, BitCountCarriesIntoItsHighWord) {
    Md5Context context;
    Md5Init(&context);
    // As if 2^29 - 1 bytes had been digested: the next 8 bytes pass 2^32 bits.
    context.count[0] = 0xFFFFFFF8u;
    const uint8_t eight[8] = {};
    Md5Update(&context, eight, sizeof eight);
    EXPECT_EQ(context.count[0], 0x38u);
    EXPECT_EQ(context.count[1], 1u);
}

TEST_F(Md5Test, FilesAroundAndBeyondTheReadBufferSizeDigestLikeMd5sum) {
    const struct {
        std::size_t size;
        const char* digest;
    } cases[] = {
        {65535, "6c81f46dfcd30920ae909136646fde3a"},
        {65536, "857d8b3d811d0ed2ceca31df13e8c10e"},
        {65537, "4d685c046d4004d77d60fd3c71792e8d"},
        {196625, "73ebc9714b08563595d7cc3057095a78"},
    };
    for (const auto& c : cases) {
        std::string path = writeFile("noise" + std::to_string(c.size), noiseBytes(c.size));
        EXPECT_EQ(fileDigestHex(path), c.digest) << c.size << " bytes";
    }
}

TEST_F(Md5Test, FinalWipesTheContext) {
    Md5Context context;
    Md5Init(&context);
    const uint8_t input[] = {'a', 'b', 'c'};
    Md5Update(&context, input, sizeof input);
    uint8_t digest[16];
    Md5Final(digest, &context);

    Md5Context zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof context), 0);
    EXPECT_EQ(hexOf(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5ToHexTest, WritesHighNibbleFirstInLowercase) {
    const uint8_t digest[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    char text[40];
    std::memset(text, 'Z', sizeof text);
    Md5ToHex(digest, text);
    EXPECT_STREQ(text, "0123456789abcdeffedcba9876543210");
    EXPECT_EQ(text[33], 'Z');
}

TEST(Md5ToHexTest, SixteenZeroBytesGiveThirtyTwoZeros) {
    const uint8_t digest[16] = {};
    char text[33];
    Md5ToHex(digest, text);
    EXPECT_EQ(std::string(text), std::string(32, '0'));
}

TEST_F(Md5Test, MissingFileLeavesTheDigestAndSaysSoOnStandardOutput) {
    std::string path = directory_ + "/absent.bin";
    uint8_t digest[16];
    std::memset(digest, 0xAB, sizeof digest);

    ::testing::internal::CaptureStdout();
    bool opened = Md5File(path.c_str(), digest);
    std::string printed = ::testing::internal::GetCapturedStdout();

    EXPECT_FALSE(opened);
    for (uint8_t byte : digest) {
        EXPECT_EQ(byte, 0xAB);
    }
    EXPECT_EQ(printed, path + " can't be opened\n");
}

}  // namespace
