// The cheap pass of a patch plan: each block of the new file looked for
// where it stood in the old file. Its blocks are independent of each other,
// so the old file, read forward once by the caller, is checked a piece at a
// time by the caller and a few helpers: on a 2 GB file that is seconds of
// MD5 spread over the cores instead of one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/block_sums.h"

// A block no copy was found for.
constexpr uint64_t kNoSource = ~0ull;

// Sets source[block] to the old file's offset of each block found in place,
// and the last (short) block also at the end of the old file, where
// appended or inserted bytes leave it; the first offset found wins. Leaves
// the others as they were. False when the old file cannot be read.
bool MatchBlocksInPlace(const BlockSums& sums, std::FILE* basis, uint64_t basisSize, std::vector<uint64_t>& source);
