// The update list file: two header lines, then every record on line 3 as
// "\path,size,system,md5" joined by commas.
#pragma once

#include <cstdint>

#include "run/update_list_entry.h"

// Fills list (room for kUpdateListCapacity records) from the file; a file
// that cannot be opened leaves *count at 0. Raises runFailed and returns early
// when a stop is requested.
//
// A record whose path is longer than 179 characters does not fit its field:
// it is left out (a cut path would install a file under another name) and,
// when overlongPath is given, *overlongPath is raised so the caller can refuse
// the whole list. *overlongPath is never lowered here.
void readUpdateList(const char* path, UpdateListEntry* list, int32_t* count,
                    bool* overlongPath = nullptr);
