#include "files/block_sums.h"

#include <gtest/gtest.h>

#include <cstring>

#include "block_sums_cases.h"

TEST(BlockSums, RollingEqualsAFreshStartAtEveryOffset) {
    std::mt19937 random(7);
    const std::vector<uint8_t> bytes = randomBytes(random, 5000);
    // Whole runs of 16 bytes and the rest one at a time: windows of both.
    for (const uint32_t window : {1024u, 1031u, 16u, 15u, 1u}) {
        RollingSum rolled;
        rolled.start(bytes.data(), window);
        for (std::size_t at = 1; at + window <= bytes.size(); ++at) {
            rolled.roll(bytes[at - 1], bytes[at + window - 1]);
            RollingSum fresh;
            fresh.start(bytes.data() + at, window);
            ASSERT_EQ(fresh.value(), rolled.value()) << window << " at " << at;
        }
    }
}

TEST(BlockSums, TablesRoundTripAndOnlyTheirOneFormParses) {
    std::mt19937 random(3);
    const BlockSums sums = sumsOf(randomBytes(random, 2049), 1024);  // three blocks, the last one byte
    const std::vector<uint8_t> bytes = EncodeBlockSums(sums);
    ASSERT_EQ(kBlockSumsHeadBytes + 3 * 10, bytes.size());
    BlockSums read;
    ASSERT_TRUE(ParseBlockSums(bytes.data(), bytes.size(), &read));
    EXPECT_EQ(sums.weak, read.weak);
    EXPECT_EQ(sums.strong, read.strong);
    EXPECT_EQ(0, std::memcmp(sums.fileMd5, read.fileMd5, 16));

    struct Fault { std::size_t offset; uint8_t value; };
    const Fault faults[] = {{0, 'X'}, {5, 0x06} /* 1536: no power of two */, {6, 0x20} /* 2 MiB */,
                            {12, 3}, {12, 17}, {13, 1}, {8, 0x00} /* size 2048: two blocks */};
    for (const Fault& fault : faults) {
        std::vector<uint8_t> bad = bytes;
        bad[fault.offset] = fault.value;
        EXPECT_FALSE(ParseBlockSums(bad.data(), bad.size(), &read)) << fault.offset;
    }
    EXPECT_FALSE(ParseBlockSums(bytes.data(), bytes.size() - 1, &read));
}

TEST(BlockSums, TheBlockGrowsWithTheRootOfTheFile) {
    EXPECT_EQ(kMinSumBlock, ChooseSumBlock(0));
    EXPECT_EQ(1024u, ChooseSumBlock(2359296));              // root 1536: a tie keeps the smaller
    EXPECT_EQ(2048u, ChooseSumBlock(2359297));
    EXPECT_EQ(16384u, ChooseSumBlock(200u * 1000 * 1000));  // root 14142
    EXPECT_EQ(65536u, ChooseSumBlock(4000000000ull));        // root 63245
}

// A hostile server cannot make the client hold more than make-package's own
// table would take: finer blocks are refused, so the file travels whole.
TEST(BlockSums, BlocksFinerThanMakePackageWritesAreRefused) {
    std::mt19937 random(5);
    const std::vector<uint8_t> file = randomBytes(random, 2359297);
    BlockSums read;
    for (uint32_t block : {1024u, 2048u, 4096u}) {
        const std::vector<uint8_t> bytes = EncodeBlockSums(sumsOf(file, block));
        EXPECT_EQ(block >= 2048, ParseBlockSums(bytes.data(), bytes.size(), &read)) << block;
    }
    EXPECT_LT(MaxBlockSumsBytes(0x7FFFFFFF), 2u << 20);
}
