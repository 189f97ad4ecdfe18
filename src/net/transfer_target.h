// The file a transfer writes, with the digest of what has been written so
// far: chunks reach the file in order, so this is the file's own digest and
// checking it needs no second read of the file.
#pragma once

#include <cstdio>

#include "files/md5.h"
#include "platform/crypto.h"

struct TransferTarget {
    std::FILE* file;
    Md5Context digest;
    // Only while a signed build's manifest is in force: its SHA-256 is taken
    // in the same pass as the MD5.
    platform::Sha256* sha256 = nullptr;
    // A write to the file failed for lack of space on its volume.
    bool outOfSpace = false;
    // Some of the bytes came from an HTTP mirror.
    bool mirrorBytes = false;
};
