// The decision step: which records of the new list this run fetches.
#pragma once

#include <cstdint>

#include "run/update_list_entry.h"

// Where a record of the new list comes from in this run.
enum RecordSource : uint8_t {
    kSourceInPlace = 0,  // already installed: nothing to fetch or to install
    kSourceFetch = 1,    // fetched from the server (needsDownload stays raised)
    kSourceStaged = 2,   // an unfinished earlier run left it staged with the listed digest
};

// Lowers needsDownload of every fresh record for which the installed list
// holds a record with the same path and the same digest (exact texts), as a
// walk over every pair would, in time linear in the two lists. stop() is
// asked before each fresh record; false when it answered true.
bool matchInstalledRecords(const UpdateListEntry* installed, int32_t installedCount,
                           UpdateListEntry* fresh, int32_t freshCount, bool (*stop)());

// Decides for every record of the run's new list and fills sources[newCount].
// The staging directories have no trailing separator. False when a stop
// ended the run.
bool decideDownloads(const char* gameStaging, const char* systemStaging, RecordSource* sources);
