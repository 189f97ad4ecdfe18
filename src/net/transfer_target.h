// The file a transfer writes, with the digest of what has been written so
// far: chunks reach the file in order, so this is the file's own digest and
// checking it needs no second read of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "files/md5.h"
#include "platform/crypto.h"

struct TransferTarget {
    // The bytes go to the file through net/write_behind.h; it is known here
    // once they have all been written.
    std::FILE* file = nullptr;
    Md5Context digest;
    // Only while a signed build's manifest is in force: the file's SHA-256,
    // taken instead of the MD5.
    platform::Sha256* sha256 = nullptr;
    // A write to the file failed for lack of space on its volume.
    bool outOfSpace = false;
    // Some of the bytes came from an HTTP mirror.
    bool mirrorBytes = false;
};

// Takes bytes just written to the file into its digest. A signed build's
// file counts by the SHA-256 its publisher signed, over the same bytes: an
// MD5 besides would be a second pass over every byte that decides nothing.
inline void DigestWritten(TransferTarget* target, const uint8_t* bytes, std::size_t count) {
    if (target->sha256 != nullptr) {
        target->sha256->update(bytes, count);
    } else {
        Md5Update(&target->digest, bytes, count);
    }
}
