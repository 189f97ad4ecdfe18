#include "worker/disk_check.h"

#include "net/file_transfer.h"
#include "platform/platform.h"
#include "run/disk_short.h"
#include "run/run_state.h"

namespace {

struct VolumeNeed {
    uint64_t bytes = 0;
    uint32_t files = 0;
    void add(uint64_t size) {
        bytes += size;
        ++files;
    }
    uint64_t withMargin() const { return bytes + kDiskMargin + files * kDiskMarginPerFile; }
};

// false, reported, when the volume of folder has less than need.
bool volumeHasRoom(const char* folder, const VolumeNeed& need) {
    uint64_t freeBytes = 0;
    if (need.files == 0 || !platform::freeDiskBytes(folder, &freeBytes)) return true;
    if (need.withMargin() <= freeBytes) return true;
    reportDiskShort(folder, need.withMargin(), freeBytes);
    return false;
}

}  // namespace

bool diskSpaceSuffices(const uint32_t* resumeAt, const RecordSource* sources) {
    const RunState& run = g_RunState;
    VolumeNeed game;
    VolumeNeed system;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        const uint32_t size = listedBytes(entry.size);
        if (sources[i] == kSourceFetch) game.add(size - resumeAt[i]);
        if (sources[i] != kSourceInPlace && entry.systemFile != 0) system.add(size);
    }
    if (system.files > 0 && platform::sameVolume(run.gameDir, run.systemDir)) {
        game.bytes += system.bytes;
        game.files += system.files;
        system = VolumeNeed();
    }
    return volumeHasRoom(run.gameDir, game) && volumeHasRoom(run.systemDir, system);
}
