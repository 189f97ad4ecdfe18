#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/replace_file.h"
#include "platform/posix/system_error.h"

namespace platform {

bool moveFile(const char* source, const char* target) {
    std::string from = nativePath(source);
    std::string to = nativePath(target);
    std::string::size_type slash = to.rfind('/');
    posix::removeLeftoverTemporariesOnce(slash == std::string::npos ? std::string() : to.substr(0, slash + 1));
    // An executable game file stays executable after an update.
    struct stat replaced {};
    if (stat(to.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
        chmod(from.c_str(), replaced.st_mode & 07777);
    }
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    posix::setLastErrorFromErrno(errno);
    return false;
}

bool makeWritable(const char* path) {
    std::string native = nativePath(path);
    struct stat info {};
    if (stat(native.c_str(), &info) != 0) {
        posix::setLastErrorFromErrno(errno);
        return false;
    }
    if ((info.st_mode & S_IWUSR) != 0) return true;
    if (chmod(native.c_str(), (info.st_mode & 07777) | S_IWUSR) == 0) return true;
    posix::setLastErrorFromErrno(errno);
    return false;
}

}  // namespace platform
