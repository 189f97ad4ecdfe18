#include "run/disk_short.h"

#include <cstdio>

#include "log/update_log.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace {

// lParam is 32 bits wide on Windows.
intptr_t kibValue(uint64_t kib) {
    return kib > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<intptr_t>(kib);
}

void megabytes(char* out, std::size_t size, uint64_t bytes) {
    std::snprintf(out, size, "%.1fMB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace

void reportDiskShort(const char* folder, uint64_t neededBytes, uint64_t freeBytes) {
    RunState& run = g_RunState;
    // The host reads the folder until its handler returns; it is shown with
    // the separators of the system.
    static char shownFolder[256];
    std::snprintf(shownFolder, sizeof shownFolder, "%s", platform::nativePath(folder).c_str());
    char needed[32];
    char available[32];
    megabytes(needed, sizeof needed, neededBytes);
    megabytes(available, sizeof available, freeBytes);
    g_UpdateLog.write("磁盘空间不足:需要%s,可用%s,位置%s", needed, available, shownFolder);
    run.diskFull = 1;
    run.runFailed = 1;
    notifyHost(AU_MSG_STATUS, AU_STATUS_DISK_NEEDED, kibValue((neededBytes + 1023) / 1024));
    notifyHost(AU_MSG_STATUS, AU_STATUS_DISK_FREE, kibValue(freeBytes / 1024));
    notifyHost(AU_MSG_STATUS, AU_STATUS_DISK_FOLDER, reinterpret_cast<intptr_t>(shownFolder));
    notifyError(AU_ERR_DISK_FULL);
}
