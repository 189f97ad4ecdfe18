#include "files/md5.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr std::size_t kFileBlockSize = 1024;

// Per-round rotation amounts, four per round.
constexpr int kShift[4][4] = {
    {7, 12, 17, 22},
    {5, 9, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
};

// floor(2^32 * abs(sin(i + 1))) for i = 0..63.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

uint32_t rotateLeft(uint32_t value, int amount) {
    return (value << amount) | (value >> (32 - amount));
}

// Byte order is fixed little-endian whatever the host's.
uint32_t loadLittleEndian(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void storeLittleEndian(uint32_t value, uint8_t* bytes) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

void transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = loadLittleEndian(block + 4 * i);
    }
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    for (int step = 0; step < 64; ++step) {
        int round = step / 16;
        uint32_t f;
        int word;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            word = step;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            word = (5 * step + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            word = (3 * step + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            word = (7 * step) % 16;
            break;
        }
        uint32_t next = b + rotateLeft(a + f + x[word] + kSine[step], kShift[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    // The message words are no business of anyone after this block.
    std::memset(x, 0, sizeof x);
}

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

    std::size_t room = 64 - index;
    std::size_t used = 0;
    if (length >= room) {
        std::memcpy(context->buffer + index, input, room);
        transform(context->state, context->buffer);
        for (used = room; used + 63 < length; used += 64) {
            transform(context->state, input + used);
        }
        index = 0;
    }
    if (used < length) {
        std::memcpy(context->buffer + index, input + used, length - used);
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
    for (int i = 0; i < 16; ++i) {
        std::snprintf(out + 2 * i, 2, "%x", digest[i] >> 4);
        std::snprintf(out + 2 * i + 1, 2, "%x", digest[i] & 0x0f);
    }
    out[32] = '\0';
}
