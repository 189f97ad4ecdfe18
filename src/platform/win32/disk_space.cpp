#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace platform {

bool freeDiskBytes(const char* directory, uint64_t* freeBytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(directory, &available, nullptr, nullptr)) return false;
    *freeBytes = available.QuadPart;
    return true;
}

bool sameVolume(const char* first, const char* second) {
    char a[MAX_PATH];
    char b[MAX_PATH];
    if (!GetVolumePathNameA(first, a, sizeof a) || !GetVolumePathNameA(second, b, sizeof b)) return false;
    return lstrcmpiA(a, b) == 0;
}

// The C library turns ERROR_DISK_FULL into ENOSPC, and sets ENOSPC alone
// when WriteFile succeeded but wrote nothing.
bool writeFailedForSpace() {
    const DWORD error = GetLastError();
    return errno == ENOSPC || error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

}  // namespace platform
