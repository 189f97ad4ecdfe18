// The block checksums make-package publishes for a listed file, and what a
// client does with them: find the blocks of the new file that the file it
// already has holds somewhere, so that only the rest travels
// (docs/fast-mode.md, "Only what changed travels").
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t kBlockSumsMagic[4] = {'A', 'U', 'B', 'S'};
constexpr std::size_t kBlockSumsHeadBytes = 32;
constexpr uint32_t kMinSumBlock = 1024;
constexpr uint32_t kMaxSumBlock = 1u << 20;
constexpr uint8_t kMinStrongBytes = 4;
constexpr uint8_t kMaxStrongBytes = 16;
// A file smaller than this travels whole: its table would not pay.
constexpr uint32_t kMinSummedFile = 64 * 1024;

// The weak checksum of a block, rolled one byte at a time: a is the sum of
// the bytes, b the sum of each byte times its distance from the block's end,
// both modulo 2^16; the checksum is a | b << 16.
struct RollingSum {
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t length = 0;

    void start(const uint8_t* block, uint32_t size);
    // The window moves one byte: out leaves at its start, in joins at its end.
    void roll(uint8_t out, uint8_t in) {
        a = (a - out + in) & 0xFFFF;
        b = (b - length * static_cast<uint32_t>(out) + a) & 0xFFFF;
    }
    uint32_t value() const { return a | (b << 16); }
};

struct BlockSums {
    uint32_t blockSize = 0;
    uint32_t fileSize = 0;
    uint8_t strongBytes = 0;
    uint8_t fileMd5[16] = {};
    // Per block, in file order: the weak checksum, then strongBytes bytes of
    // the block's MD5. The last block may be shorter than blockSize.
    std::vector<uint32_t> weak;
    std::vector<uint8_t> strong;  // strongBytes per block

    uint32_t blockCount() const { return static_cast<uint32_t>(weak.size()); }
};

// The length of a block: blockSize, or less for the file's last.
uint32_t BlockLength(const BlockSums& sums, uint32_t block);
// True when the digest's first strongBytes bytes are the block's strong sum.
bool StrongEquals(const BlockSums& sums, uint32_t block, const uint8_t digest[16]);
// True when the bytes are the block: the weak sum first, which rules out
// almost every other block for the price of one add per byte, then the MD5.
bool BlockMatches(const BlockSums& sums, uint32_t block, const uint8_t* bytes, uint32_t length);

// The table's bytes as they travel (the 32-byte head, then weak and strong
// per block), and back. Parse refuses anything but the one byte form of a
// table: a wrong magic, a block size that is no power of two within
// 1 KiB..1 MiB, a strong width outside 4..16, a length that does not match
// the block count of fileSize. It also refuses blocks smaller than
// ChooseSumBlock(fileSize): make-package never writes them, and 1 KiB blocks
// for a file near 2 GiB would cost a 32-bit client a 42 MB table and more
// again for its index.
std::vector<uint8_t> EncodeBlockSums(const BlockSums& sums);
bool ParseBlockSums(const uint8_t* data, std::size_t size, BlockSums* sums);

// The block size make-package picks for a file of this size: the power of
// two nearest to its square root (the smaller one on a tie), within
// 1 KiB..1 MiB. Whole numbers only, so both sides agree to the byte.
uint32_t ChooseSumBlock(uint64_t fileSize);

// The most bytes a table Parse accepts for a file of this size can take:
// blocks of ChooseSumBlock(fileSize), each with the widest strong sum.
uint32_t MaxBlockSumsBytes(uint32_t fileSize);
