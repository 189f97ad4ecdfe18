// The block table make-package would publish for these bytes, as the tests
// of the client's matching need it, and the random files they match.
#pragma once

#include <algorithm>
#include <random>
#include <vector>

#include "files/block_sums.h"
#include "files/md5.h"

inline BlockSums sumsOf(const std::vector<uint8_t>& file, uint32_t blockSize) {
    BlockSums sums;
    sums.blockSize = blockSize;
    sums.fileSize = static_cast<uint32_t>(file.size());
    sums.strongBytes = 6;
    Md5Context whole;
    Md5Init(&whole);
    Md5Update(&whole, file.data(), file.size());
    Md5Final(sums.fileMd5, &whole);
    for (std::size_t at = 0; at < file.size(); at += blockSize) {
        const uint32_t length = static_cast<uint32_t>(std::min<std::size_t>(blockSize, file.size() - at));
        RollingSum sum;
        sum.start(file.data() + at, length);
        sums.weak.push_back(sum.value());
        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, file.data() + at, length);
        uint8_t digest[16];
        Md5Final(digest, &context);
        sums.strong.insert(sums.strong.end(), digest, digest + sums.strongBytes);
    }
    return sums;
}

inline std::vector<uint8_t> randomBytes(std::mt19937& random, std::size_t count) {
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}
