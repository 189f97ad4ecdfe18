// Copies on disk judged by their listed digests, a few files at once: a first
// run (or a repair) reads every installed file, and one reader at a time
// leaves the other cores idle while the disk cache could feed them all.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// One copy to judge: the first of its paths that opens is read once. The
// digests are copies, so that a helper touches nothing but the pool's own.
struct CopyCheck {
    std::string paths[2];  // an empty second path: nothing to fall back on
    char md5[33] = {};     // the listed MD5 text
    bool signedBuild = false;
    uint8_t sha256[32] = {};  // with a signed build, the signed SHA-256 alone decides
    // Written by whoever takes the check.
    int8_t opened = -1;  // the path that was read; -1: none opened
    bool matches = false;
};

class DigestPool {
public:
    // Starts the helpers over checks, which stay as they are while it runs;
    // without helpers every check is done by await.
    explicit DigestPool(std::vector<CopyCheck>* checks);
    // Takes no more checks and waits for the helpers; they leave a file in
    // hand at its next block, so a large file does not hold up a stop.
    ~DigestPool();
    DigestPool(const DigestPool&) = delete;
    DigestPool& operator=(const DigestPool&) = delete;

    // Waits until checks[i] is done, doing it on the calling thread when no
    // helper could be started. Checks are awaited in order. stop() is asked
    // first and between waits; once it answers true no more checks are
    // taken and await returns false.
    bool await(std::size_t i, bool (*stop)());

private:
    struct Shared;
    static uint32_t helperBody(void* argument);

    // On the heap and let go by the last of the pool and its helpers: a
    // worker ended by force never runs the destructor, and its stack is
    // freed while a helper may still be in a read.
    Shared* shared_;
    std::vector<platform::ThreadHandle> helpers_;
    std::vector<uint8_t> ownBuffer_;  // the caller's, when no helper started
};

// Reads the file once and judges it as check says; sets opened and matches.
// A raised abandon ends the read at the next block, the copy not matching.
void JudgeCopy(CopyCheck* check, std::vector<uint8_t>* buffer, const std::atomic<bool>* abandon = nullptr);
