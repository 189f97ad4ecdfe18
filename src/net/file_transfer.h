// One file fetched chunk by chunk into {gameDir}\{subDir}\{localName}, with
// the run's progress, byte-count and speed reports.
#pragma once

#include <cstdint>
#include <vector>

#include "files/block_match.h"
#include "files/build_manifest.h"

// The most the package (serial 0) may bring.
constexpr uint32_t kPackageSizeLimit = 16u * 1024 * 1024;

// The outcome is 11111/7/0 or 11111/6/1 and runFailed; a write that fails
// for lack of space reports the full disk instead (run/disk_short.h) and
// leaves its bytes staged. maxBytes is what the file may hold (its listed
// size): a server that sends more fails the transfer as soon as the excess
// arrives, before it reaches the disk. With
// expectedMd5 (a listed file's digest), a file of other bytes fails too and
// is removed; the digest is taken as the chunks are written.
// With resumeAt (a listed file whose first bytes an earlier run staged), the
// transfer asks from that byte on and the digest takes in the staged bytes
// first; when the whole file then has another digest (the server's build
// changed in between), it is fetched once more from its first byte.
// With signedAs (the file's entry in the signed manifest in force), its
// SHA-256 is taken beside the MD5 and must be the entry's as well.
// With patch (a listed file with no staged part, in the fast mode), the file
// is built from the installed one by the plan's steps; when that fails or
// gives another digest, it is fetched once more whole from its first byte.
// A plan that took blocks by their weak sums alone and gave another digest
// is first made again from its table with both sums, and carried out once.
struct PatchSource {
    const char* basisPath;                // the installed file
    const std::vector<PatchStep>* steps;  // from PlanPatch
    // The table of a plan made with ProbeCheck::Weak; null for one made
    // with both sums.
    const BlockSums* weaklyPlanned = nullptr;
};
void downloadFile(const char* remoteName, const char* localName, const char* subDir,
                  int32_t serial, uint32_t maxBytes = kPackageSizeLimit,
                  const char* expectedMd5 = nullptr, uint32_t resumeAt = 0,
                  const BuildManifestFile* signedAs = nullptr, const PatchSource* patch = nullptr);

// The bytes an earlier run left of this staged file when they can be
// resumed: more than none and fewer than maxBytes; otherwise 0.
uint32_t resumableBytes(const char* localName, const char* subDir, uint32_t maxBytes);

// The maxBytes of a listed file: its size, none for a negative one.
inline uint32_t listedBytes(int32_t size) {
    return size > 0 ? static_cast<uint32_t>(size) : 0;
}

void startSpeedReports();
void reportSpeed();
