#include "platform/posix/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/posix/system_error.h"

namespace platform {
namespace posix {

namespace {
std::atomic<unsigned> g_replacementSerial{0};
}

ReplacementFile::ReplacementFile(const std::string& target) : target_(target), fd_(-1) {}

ReplacementFile::~ReplacementFile() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(temporary_.c_str());
    }
}

bool ReplacementFile::create(unsigned mode) {
    std::string::size_type slash = target_.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(getpid()),
                      g_replacementSerial.fetch_add(1));
        temporary_ = directory + "." + name + suffix;
        // open() applies the umask to the mode, as for any new file.
        fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd_ >= 0) return true;
        if (errno != EEXIST) break;
    }
    setLastErrorFromErrno(errno);
    return false;
}

bool ReplacementFile::write(const void* data, std::size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = ::write(fd_, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            setLastErrorFromErrno(errno);
            return false;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool ReplacementFile::commit() {
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 || rename(temporary_.c_str(), target_.c_str()) != 0) {
        int error = errno;
        unlink(temporary_.c_str());
        setLastErrorFromErrno(error);
        return false;
    }
    return true;
}

}  // namespace posix
}  // namespace platform
