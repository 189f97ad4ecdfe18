// How a client builds a changed file from the one it already has: the new
// file's blocks found in the old file (anywhere, by the rolling checksum and
// then the strong one) are copied, the rest is fetched.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/block_probes.h"
#include "files/block_sums.h"

// One stretch of the new file, in file order: either copied from the old
// file at `from`, or fetched as the new file's bytes [at, at + length).
struct PatchStep {
    bool copy = false;
    uint64_t from = 0;
    uint32_t at = 0;
    uint32_t length = 0;
};

// The steps that write the whole new file of sums.fileSize bytes, adjacent
// steps of one kind merged. Copies lie within basisSize; steps cover the new
// file exactly once. False when the old file cannot be read.
// check is how a block is taken where it stood or at a shift the roll
// found: with ProbeCheck::Weak a block whose weak sum alone matches there is
// copied, which may give a file of another digest. The roll's own finds
// always match both sums: among every window of the file, weak sums alike
// by chance are common.
bool PlanPatch(const BlockSums& sums, std::FILE* basis, uint64_t basisSize, std::vector<PatchStep>* steps,
               ProbeCheck check = ProbeCheck::Strong);

// The bytes the steps fetch.
uint64_t FetchedBytes(const std::vector<PatchStep>& steps);
