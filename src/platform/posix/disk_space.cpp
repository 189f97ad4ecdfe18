#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

bool freeDiskBytes(const char* directory, uint64_t* freeBytes) {
    struct statvfs info {};
    if (statvfs(nativePath(directory).c_str(), &info) != 0) {
        posix::setLastErrorFromErrno(errno);
        return false;
    }
    *freeBytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

bool sameVolume(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    if (stat(nativePath(first).c_str(), &a) != 0 || stat(nativePath(second).c_str(), &b) != 0) {
        posix::setLastErrorFromErrno(errno);
        return false;
    }
    return a.st_dev == b.st_dev;
}

bool writeFailedForSpace() {
    return errno == ENOSPC || errno == EDQUOT;
}

}  // namespace platform
