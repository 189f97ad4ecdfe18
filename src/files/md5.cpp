#include "files/md5.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// Large reads keep the per-call cost of stdio and the kernel small next to
// the digest itself; the buffer lives on the stack, so memory use stays fixed.
constexpr std::size_t kFileBlockSize = 64 * 1024;

inline uint32_t rotateLeft(uint32_t value, int amount) {
    return (value << amount) | (value >> (32 - amount));
}

// Byte order is fixed little-endian whatever the host's. Compilers turn this
// pattern into one plain load on little-endian machines, aligned or not, so
// input blocks are read in place rather than copied.
inline uint32_t loadLittleEndian(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

inline void storeLittleEndian(uint32_t value, uint8_t* bytes) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// Each step waits on the previous step's result b, so every function is
// arranged to leave as little work as possible after b is known: the parts
// that depend on c and d only (and the word and the constant) go first.
// F(b, c, d) = (b & c) | (~b & d) selects c or d by b.
#define MD5_STEP_F(a, b, c, d, word, constant, shift)          \
    a += (word) + (constant) + ((((c) ^ (d)) & (b)) ^ (d));   \
    a = rotateLeft(a, shift) + (b)
// G(b, c, d) = (b & d) | (c & ~d): the two halves never share a bit, so they
// can be added, and the half without b added before b is ready.
#define MD5_STEP_G(a, b, c, d, word, constant, shift)          \
    a += (word) + (constant) + ((c) & ~(d));                   \
    a += (b) & (d);                                            \
    a = rotateLeft(a, shift) + (b)
#define MD5_STEP_H(a, b, c, d, word, constant, shift)          \
    a += (word) + (constant) + ((c) ^ (d) ^ (b));             \
    a = rotateLeft(a, shift) + (b)
#define MD5_STEP_I(a, b, c, d, word, constant, shift)          \
    a += (word) + (constant) + ((c) ^ ((b) | ~(d)));           \
    a = rotateLeft(a, shift) + (b)

// Compresses `blocks` whole 64-byte blocks read straight from input.
void transformBlocks(uint32_t state[4], const uint8_t* input, std::size_t blocks) {
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    for (; blocks != 0; --blocks, input += 64) {
#define X(i) loadLittleEndian(input + 4 * (i))
        const uint32_t startA = a;
        const uint32_t startB = b;
        const uint32_t startC = c;
        const uint32_t startD = d;

        MD5_STEP_F(a, b, c, d, X(0), 0xd76aa478, 7);
        MD5_STEP_F(d, a, b, c, X(1), 0xe8c7b756, 12);
        MD5_STEP_F(c, d, a, b, X(2), 0x242070db, 17);
        MD5_STEP_F(b, c, d, a, X(3), 0xc1bdceee, 22);
        MD5_STEP_F(a, b, c, d, X(4), 0xf57c0faf, 7);
        MD5_STEP_F(d, a, b, c, X(5), 0x4787c62a, 12);
        MD5_STEP_F(c, d, a, b, X(6), 0xa8304613, 17);
        MD5_STEP_F(b, c, d, a, X(7), 0xfd469501, 22);
        MD5_STEP_F(a, b, c, d, X(8), 0x698098d8, 7);
        MD5_STEP_F(d, a, b, c, X(9), 0x8b44f7af, 12);
        MD5_STEP_F(c, d, a, b, X(10), 0xffff5bb1, 17);
        MD5_STEP_F(b, c, d, a, X(11), 0x895cd7be, 22);
        MD5_STEP_F(a, b, c, d, X(12), 0x6b901122, 7);
        MD5_STEP_F(d, a, b, c, X(13), 0xfd987193, 12);
        MD5_STEP_F(c, d, a, b, X(14), 0xa679438e, 17);
        MD5_STEP_F(b, c, d, a, X(15), 0x49b40821, 22);

        MD5_STEP_G(a, b, c, d, X(1), 0xf61e2562, 5);
        MD5_STEP_G(d, a, b, c, X(6), 0xc040b340, 9);
        MD5_STEP_G(c, d, a, b, X(11), 0x265e5a51, 14);
        MD5_STEP_G(b, c, d, a, X(0), 0xe9b6c7aa, 20);
        MD5_STEP_G(a, b, c, d, X(5), 0xd62f105d, 5);
        MD5_STEP_G(d, a, b, c, X(10), 0x02441453, 9);
        MD5_STEP_G(c, d, a, b, X(15), 0xd8a1e681, 14);
        MD5_STEP_G(b, c, d, a, X(4), 0xe7d3fbc8, 20);
        MD5_STEP_G(a, b, c, d, X(9), 0x21e1cde6, 5);
        MD5_STEP_G(d, a, b, c, X(14), 0xc33707d6, 9);
        MD5_STEP_G(c, d, a, b, X(3), 0xf4d50d87, 14);
        MD5_STEP_G(b, c, d, a, X(8), 0x455a14ed, 20);
        MD5_STEP_G(a, b, c, d, X(13), 0xa9e3e905, 5);
        MD5_STEP_G(d, a, b, c, X(2), 0xfcefa3f8, 9);
        MD5_STEP_G(c, d, a, b, X(7), 0x676f02d9, 14);
        MD5_STEP_G(b, c, d, a, X(12), 0x8d2a4c8a, 20);

        MD5_STEP_H(a, b, c, d, X(5), 0xfffa3942, 4);
        MD5_STEP_H(d, a, b, c, X(8), 0x8771f681, 11);
        MD5_STEP_H(c, d, a, b, X(11), 0x6d9d6122, 16);
        MD5_STEP_H(b, c, d, a, X(14), 0xfde5380c, 23);
        MD5_STEP_H(a, b, c, d, X(1), 0xa4beea44, 4);
        MD5_STEP_H(d, a, b, c, X(4), 0x4bdecfa9, 11);
        MD5_STEP_H(c, d, a, b, X(7), 0xf6bb4b60, 16);
        MD5_STEP_H(b, c, d, a, X(10), 0xbebfbc70, 23);
        MD5_STEP_H(a, b, c, d, X(13), 0x289b7ec6, 4);
        MD5_STEP_H(d, a, b, c, X(0), 0xeaa127fa, 11);
        MD5_STEP_H(c, d, a, b, X(3), 0xd4ef3085, 16);
        MD5_STEP_H(b, c, d, a, X(6), 0x04881d05, 23);
        MD5_STEP_H(a, b, c, d, X(9), 0xd9d4d039, 4);
        MD5_STEP_H(d, a, b, c, X(12), 0xe6db99e5, 11);
        MD5_STEP_H(c, d, a, b, X(15), 0x1fa27cf8, 16);
        MD5_STEP_H(b, c, d, a, X(2), 0xc4ac5665, 23);

        MD5_STEP_I(a, b, c, d, X(0), 0xf4292244, 6);
        MD5_STEP_I(d, a, b, c, X(7), 0x432aff97, 10);
        MD5_STEP_I(c, d, a, b, X(14), 0xab9423a7, 15);
        MD5_STEP_I(b, c, d, a, X(5), 0xfc93a039, 21);
        MD5_STEP_I(a, b, c, d, X(12), 0x655b59c3, 6);
        MD5_STEP_I(d, a, b, c, X(3), 0x8f0ccc92, 10);
        MD5_STEP_I(c, d, a, b, X(10), 0xffeff47d, 15);
        MD5_STEP_I(b, c, d, a, X(1), 0x85845dd1, 21);
        MD5_STEP_I(a, b, c, d, X(8), 0x6fa87e4f, 6);
        MD5_STEP_I(d, a, b, c, X(15), 0xfe2ce6e0, 10);
        MD5_STEP_I(c, d, a, b, X(6), 0xa3014314, 15);
        MD5_STEP_I(b, c, d, a, X(13), 0x4e0811a1, 21);
        MD5_STEP_I(a, b, c, d, X(4), 0xf7537e82, 6);
        MD5_STEP_I(d, a, b, c, X(11), 0xbd3af235, 10);
        MD5_STEP_I(c, d, a, b, X(2), 0x2ad7d2bb, 15);
        MD5_STEP_I(b, c, d, a, X(9), 0xeb86d391, 21);
#undef X
        a += startA;
        b += startB;
        c += startC;
        d += startD;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

}  // namespace

void Md5Init(Md5Context* context) {
    context->count[0] = 0;
    context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void Md5Update(Md5Context* context, const uint8_t* input, std::size_t length) {
    std::size_t index = (context->count[0] >> 3) & 0x3f;

    uint64_t bits = (static_cast<uint64_t>(context->count[1]) << 32) | context->count[0];
    bits += static_cast<uint64_t>(length) << 3;
    context->count[0] = static_cast<uint32_t>(bits);
    context->count[1] = static_cast<uint32_t>(bits >> 32);

    // Only the bytes that straddle a call go through the context's buffer;
    // whole blocks of the caller's input are digested where they lie.
    if (index != 0) {
        std::size_t room = 64 - index;
        if (length < room) {
            if (length != 0) std::memcpy(context->buffer + index, input, length);
            return;
        }
        std::memcpy(context->buffer + index, input, room);
        transformBlocks(context->state, context->buffer, 1);
        input += room;
        length -= room;
    }
    std::size_t blocks = length / 64;
    transformBlocks(context->state, input, blocks);
    input += blocks * 64;
    length -= blocks * 64;
    if (length != 0) {
        std::memcpy(context->buffer, input, length);
    }
}

void Md5Final(uint8_t digest[16], Md5Context* context) {
    uint8_t lengthBytes[8];
    storeLittleEndian(context->count[0], lengthBytes);
    storeLittleEndian(context->count[1], lengthBytes + 4);

    // One 0x80 byte, then zeros up to 56 bytes modulo 64, then the bit count.
    static const uint8_t kPadding[64] = {0x80};
    std::size_t index = (context->count[0] >> 3) & 0x3f;
    std::size_t padLength = (index < 56) ? (56 - index) : (120 - index);
    Md5Update(context, kPadding, padLength);
    Md5Update(context, lengthBytes, 8);

    for (int i = 0; i < 4; ++i) {
        storeLittleEndian(context->state[i], digest + 4 * i);
    }
    std::memset(context, 0, sizeof *context);
}

bool Md5File(const char* path, uint8_t digest[16]) {
    if (path == nullptr) {
        return false;
    }
    std::FILE* file = platform::openFile(path, "rb");
    if (file == nullptr) {
        std::printf("%s can't be opened\n", path);
        return false;
    }
    // Reads as large as the buffer need no second buffer inside stdio.
    std::setvbuf(file, nullptr, _IONBF, 0);
    Md5Context context;
    Md5Init(&context);
    uint8_t block[kFileBlockSize];
    std::size_t got;
    // A read error ends the digest like the end of the file does.
    while ((got = std::fread(block, 1, kFileBlockSize, file)) != 0) {
        Md5Update(&context, block, got);
    }
    Md5Final(digest, &context);
    std::fclose(file);
    return true;
}

void Md5ToHex(const uint8_t digest[16], char* out) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    out[32] = '\0';
}
