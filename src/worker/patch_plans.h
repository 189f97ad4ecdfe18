// Which changed files are built from their installed copies, and how: the
// block table of the new file, asked of our server, matched against the
// installed file.
#pragma once

#include <cstdint>
#include <vector>

#include "files/block_match.h"
#include "run/update_list_entry.h"

// The installed copy of a record: game directory or system directory.
void installedPath(const UpdateListEntry& entry, char* out, std::size_t size);

// The plan for a record to be fetched with no staged part (serial its place
// in the list, from 1): true, with steps, when the fast mode is on, the
// server publishes block tables, the installed copy exists and the table
// read for it matches the record's size and digest. Given weakTable, blocks
// are taken where they stood by their weak sums alone (the file's digest
// judges the result) and the table is kept there, for a plan made again
// with both sums should the digest differ; without it, both sums match.
bool planPatchedFile(const UpdateListEntry& entry, uint16_t serial, std::vector<PatchStep>* steps,
                     BlockSums* weakTable);
