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
// With a plan, records marked verified that belong to the walked tree are
// moved without a second digest and every moved record is marked installed.
void MirrorTree(const char* destination, const char* source, MirrorPlan* plan);
void MirrorTree(const char* destination, const char* source);
