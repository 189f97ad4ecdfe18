#include "files/block_sums.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "files/md5.h"

namespace {

uint32_t readLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

void putLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool isPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

uint64_t blocksOf(uint32_t fileSize, uint32_t blockSize) {
    return (static_cast<uint64_t>(fileSize) + blockSize - 1) / blockSize;
}

#if defined(__SSE2__)
uint32_t laneSum(__m128i lanes) {
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(lanes));
}
#endif

}  // namespace

// b is also the sum of a after each byte. Over 16 bytes that is 16 times a
// before them plus the bytes weighted 16 down to 1, which SSE2 takes in a
// few instructions: the in-place checks of a patch are mostly these sums.
// Every sum wraps modulo 2^32, which keeps it right modulo 2^16. A build
// without SSE2 (the 32-bit DLL) adds twice a byte.
void RollingSum::start(const uint8_t* block, uint32_t size) {
    uint32_t sumA = 0;
    uint32_t sumB = 0;
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstWeights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i lastWeights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i bytes = zero;     // a so far
    __m128i before = zero;    // a before each 16 bytes, summed
    __m128i weighted = zero;  // each 16 bytes weighted 16..1, summed
    for (; i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i));
        before = _mm_add_epi32(before, bytes);
        bytes = _mm_add_epi32(bytes, _mm_sad_epu8(v, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), firstWeights));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), lastWeights));
    }
    sumA = laneSum(bytes);
    sumB = 16 * laneSum(before) + laneSum(weighted);
#endif
    for (; i < size; ++i) {
        sumA += block[i];
        sumB += sumA;
    }
    a = sumA & 0xFFFF;
    b = sumB & 0xFFFF;
    length = size;
}

uint32_t BlockLength(const BlockSums& sums, uint32_t block) {
    const uint64_t at = static_cast<uint64_t>(block) * sums.blockSize;
    return static_cast<uint32_t>(std::min<uint64_t>(sums.blockSize, sums.fileSize - at));
}

bool StrongEquals(const BlockSums& sums, uint32_t block, const uint8_t digest[16]) {
    return std::memcmp(digest, sums.strong.data() + static_cast<std::size_t>(block) * sums.strongBytes,
                       sums.strongBytes) == 0;
}

bool BlockMatches(const BlockSums& sums, uint32_t block, const uint8_t* bytes, uint32_t length) {
    RollingSum weak;
    weak.start(bytes, length);
    if (weak.value() != sums.weak[block]) return false;
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, bytes, length);
    uint8_t digest[16];
    Md5Final(digest, &context);
    return StrongEquals(sums, block, digest);
}

std::vector<uint8_t> EncodeBlockSums(const BlockSums& sums) {
    const std::size_t entry = 4u + sums.strongBytes;
    std::vector<uint8_t> out(kBlockSumsHeadBytes + entry * sums.weak.size(), 0);
    std::memcpy(out.data(), kBlockSumsMagic, sizeof kBlockSumsMagic);
    putLe32(out.data() + 4, sums.blockSize);
    putLe32(out.data() + 8, sums.fileSize);
    out[12] = sums.strongBytes;
    std::memcpy(out.data() + 16, sums.fileMd5, sizeof sums.fileMd5);
    uint8_t* at = out.data() + kBlockSumsHeadBytes;
    for (std::size_t i = 0; i < sums.weak.size(); ++i, at += entry) {
        putLe32(at, sums.weak[i]);
        std::memcpy(at + 4, sums.strong.data() + i * sums.strongBytes, sums.strongBytes);
    }
    return out;
}

bool ParseBlockSums(const uint8_t* data, std::size_t size, BlockSums* sums) {
    if (size < kBlockSumsHeadBytes || std::memcmp(data, kBlockSumsMagic, sizeof kBlockSumsMagic) != 0) return false;
    const uint32_t blockSize = readLe32(data + 4);
    const uint32_t fileSize = readLe32(data + 8);
    const uint8_t strongBytes = data[12];
    if (!isPowerOfTwo(blockSize) || blockSize < ChooseSumBlock(fileSize) || blockSize > kMaxSumBlock) return false;
    if (strongBytes < kMinStrongBytes || strongBytes > kMaxStrongBytes) return false;
    if (data[13] != 0 || data[14] != 0 || data[15] != 0) return false;
    const uint64_t blocks = blocksOf(fileSize, blockSize);
    const std::size_t entry = 4u + strongBytes;
    if (static_cast<uint64_t>(size - kBlockSumsHeadBytes) != blocks * entry) return false;

    sums->blockSize = blockSize;
    sums->fileSize = fileSize;
    sums->strongBytes = strongBytes;
    std::memcpy(sums->fileMd5, data + 16, sizeof sums->fileMd5);
    sums->weak.resize(static_cast<std::size_t>(blocks));
    sums->strong.resize(static_cast<std::size_t>(blocks) * strongBytes);
    const uint8_t* at = data + kBlockSumsHeadBytes;
    for (std::size_t i = 0; i < sums->weak.size(); ++i, at += entry) {
        sums->weak[i] = readLe32(at);
        std::memcpy(sums->strong.data() + i * strongBytes, at + 4, strongBytes);
    }
    return true;
}

uint32_t ChooseSumBlock(uint64_t fileSize) {
    uint32_t block = kMinSumBlock;
    // Step up while the next power of two is nearer the root, that is while
    // the root is above 1.5 blocks: fileSize > 2.25 block^2 = 9 (block/2)^2.
    while (block < kMaxSumBlock && fileSize > 9 * static_cast<uint64_t>(block / 2) * (block / 2)) block *= 2;
    return block;
}

uint32_t MaxBlockSumsBytes(uint32_t fileSize) {
    return static_cast<uint32_t>(kBlockSumsHeadBytes + blocksOf(fileSize, ChooseSumBlock(fileSize)) * (4u + kMaxStrongBytes));
}
