// A volume with too little free space for the run: the log line and the
// messages the host gets about it.
#pragma once

#include <cstdint>

// The bytes added to what a run writes on a volume: the lists and the log
// written beside the files, and a cluster per file the sizes do not count.
constexpr uint64_t kDiskMargin = 1024 * 1024;
constexpr uint64_t kDiskMarginPerFile = 4096;

// Logs the amounts and the folder, sends AU_STATUS_DISK_NEEDED, _FREE and
// _FOLDER, then 11111/6/AU_ERR_DISK_FULL, and raises diskFull and runFailed.
void reportDiskShort(const char* folder, uint64_t neededBytes, uint64_t freeBytes);
