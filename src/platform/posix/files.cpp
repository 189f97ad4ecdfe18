#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/replace_file.h"
#include "platform/posix/system_error.h"

namespace platform {

std::string nativePath(const char* path) {
    std::string native = path ? path : "";
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    return native;
}

std::FILE* openFile(const char* path, const char* mode) {
    std::FILE* file = std::fopen(nativePath(path).c_str(), mode);
    if (file == nullptr) {
        posix::setLastErrorFromErrno(errno);
        return nullptr;
    }
    // POSIX opens a directory for reading, and every read of it then fails
    // like an end of file; Windows refuses it, so a directory at a file's
    // place is never read as an empty file.
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        posix::setLastErrorFromErrno(EISDIR);
        return nullptr;
    }
    return file;
}

bool createDirectory(const char* path) {
    if (mkdir(nativePath(path).c_str(), 0777) == 0) return true;
    posix::setLastErrorFromErrno(errno);
    return false;
}

bool copyFile(const char* source, const char* target) {
    int input = open(nativePath(source).c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        posix::setLastErrorFromErrno(errno);
        return false;
    }
    struct stat info {};
    if (fstat(input, &info) != 0 || !S_ISREG(info.st_mode)) {
        // Windows refuses to copy a directory with "access denied".
        posix::setLastErrorFromErrno(S_ISDIR(info.st_mode) ? EISDIR : errno);
        close(input);
        return false;
    }

    // The installed file keeps its own permissions (an executable stays
    // executable); a new one takes the source's, as CopyFileA's attributes.
    const std::string nativeTarget = nativePath(target);
    struct stat installed {};
    mode_t mode = info.st_mode & 07777;
    if (stat(nativeTarget.c_str(), &installed) == 0 && S_ISREG(installed.st_mode)) {
        mode = installed.st_mode & 07777;
    }

    posix::ReplacementFile output(nativeTarget);
    bool ok = output.create(0600);
    char buffer[65536];
    while (ok) {
        ssize_t got = read(input, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            posix::setLastErrorFromErrno(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            ok = output.write(buffer, static_cast<std::size_t>(got));
        }
    }
    close(input);
    if (ok && fchmod(output.descriptor(), mode) != 0) {
        posix::setLastErrorFromErrno(errno);
        ok = false;
    }
    return ok && output.commit();
}

bool deleteFile(const char* path) {
    if (unlink(nativePath(path).c_str()) == 0) return true;
    posix::setLastErrorFromErrno(errno);
    return false;
}

}  // namespace platform
