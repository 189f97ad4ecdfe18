// Moves the staged files into place, each only where the new list puts it
// and only when its digest matches the list.
#pragma once

#include <cstdint>
#include <vector>

#include "files/record_index.h"

// What the install knows of each record of newList, and what MirrorTree
// reports back.
enum MirrorMark : uint8_t {
    // The staged copy was checked against the listed digest in this run and
    // nothing has written it since, so it needs no second digest.
    kMarkVerified = 1,
    // The record's file was moved into place from the tree its systemFile
    // names.
    kMarkInstalled = 2,
    // The record is installed already and this run fetches nothing for it: a
    // staged file at its path is not this run's (an earlier run or server left
    // it unchecked), so it is removed, never installed.
    kMarkInPlace = 4,
};

// One install of the run: newList indexed once by the last component of each
// path, and one mark per record.
struct MirrorPlan {
    // Indexes newList; marks start cleared.
    MirrorPlan();

    bool systemTree = false;  // the tree being walked holds system files
    std::vector<uint8_t> marks;
    RecordIndex byName;
    std::vector<uint32_t> nameHashes;
};

// Both directories end with "\". Lowers installOk when the user gives up on a
// file that cannot be replaced; does nothing while installOk is lowered.
// With a plan, only records of the walked tree are considered: those marked
// verified are moved without a second digest, those marked in place never,
// and every moved record is marked installed.
void MirrorTree(const char* destination, const char* source, MirrorPlan* plan);
void MirrorTree(const char* destination, const char* source);
