// The block-sum table of one served file, as make-package writes it into the
// build for the server to hand out unchanged.
#pragma once

#include <string>

#include "files/block_sums.h"

// The table of the file at path: block size ChooseSumBlock(size), per block
// its rolling weak sum and the first 6 bytes of its MD5, and the whole file's
// MD5. False when the file cannot be read or is over 4 GiB.
bool SumFile(const std::string& path, BlockSums* sums);

// Writes the table's bytes to path; false on an I/O error.
bool WriteBlockSums(const BlockSums& sums, const std::string& path);
