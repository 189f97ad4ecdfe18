// One record of an update list, shared by the run state and the list reader.
#pragma once

#include <cstdint>

struct UpdateListEntry {
    char md5[33];
    int32_t size;
    char path[180];  // begins with "/", every separator stored as "/"
    int32_t systemFile;
    bool needsDownload;
};

constexpr int32_t kUpdateListCapacity = 4400;
