// Blocks of the new file looked for at given places in the old file: where
// they stood, or shifted by bytes inserted or cut before them. Each check is
// one block's MD5 and none depends on another, so the old file, read forward
// once by the caller, is checked a piece at a time by the caller and a few
// helpers: on a 2 GB file that is seconds of MD5 spread over the cores
// instead of one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/block_sums.h"

// A block no copy was found for.
constexpr uint64_t kNoSource = ~0ull;

// What a probe must match to be taken as its block: both sums, or the weak
// sum alone when the whole file's digest judges the result anyway and a
// wrong guess only costs a second plan (one add per byte instead of an MD5).
enum class ProbeCheck { Weak, Strong };

struct BlockProbe {
    uint64_t pos;  // in the old file
    uint32_t block;
};

// Every block where it stood, and the last (short) block also at the end of
// the old file, where appended or inserted bytes leave it; in file order.
std::vector<BlockProbe> InPlaceProbes(const BlockSums& sums, uint64_t basisSize);

// Checks the probes, which lie within the old file and are in file order,
// reading the file from its start. Sets source[block] to the position of
// each probe whose bytes are its block, unless the block has a source
// already; the first such probe in order wins. False when the old file
// cannot be read.
bool CheckProbes(const BlockSums& sums, std::FILE* basis, std::vector<BlockProbe> probes,
                 std::vector<uint64_t>& source, ProbeCheck check = ProbeCheck::Strong);
