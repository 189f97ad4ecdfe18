#include "platform/posix/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/posix/system_error.h"

namespace platform {
namespace posix {

const char kTemporaryPrefix[] = ".autoupdate~";

namespace {

std::atomic<unsigned> g_replacementSerial{0};

std::mutex g_sweptMutex;
std::set<std::string> g_sweptDirectories;

// The process number of a temporary's name, or -1 when the name is not one.
long ownerOfTemporary(const char* name) {
    const std::size_t prefixLength = sizeof kTemporaryPrefix - 1;
    if (std::strncmp(name, kTemporaryPrefix, prefixLength) != 0) return -1;
    const char* c = name + prefixLength;
    if (!std::isdigit(static_cast<unsigned char>(*c))) return -1;
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(c, &end, 10);
    if (errno != 0 || pid <= 0 || *end != '.' || !std::isdigit(static_cast<unsigned char>(end[1]))) return -1;
    c = end + 1;
    while (std::isdigit(static_cast<unsigned char>(*c))) ++c;
    return std::strcmp(c, ".tmp") == 0 ? pid : -1;
}

bool processRuns(long pid) {
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

void removeLeftoverTemporariesOnce(const std::string& directory) {
    {
        std::lock_guard<std::mutex> lock(g_sweptMutex);
        if (!g_sweptDirectories.insert(directory).second) return;
    }
    int savedErrno = errno;
    removeLeftoverTemporaries(directory);
    errno = savedErrno;
}

int removeLeftoverTemporaries(const std::string& directory) {
    DIR* listing = opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return 0;
    int removed = 0;
    const long self = static_cast<long>(getpid());
    while (dirent* entry = readdir(listing)) {
        long owner = ownerOfTemporary(entry->d_name);
        // This process's own temporaries may be in use by another thread.
        if (owner < 0 || owner == self || processRuns(owner)) continue;
        if (unlink((directory + entry->d_name).c_str()) == 0) ++removed;
    }
    closedir(listing);
    return removed;
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
    removeLeftoverTemporariesOnce(directory);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%ld.%u.tmp", kTemporaryPrefix, static_cast<long>(getpid()),
                      g_replacementSerial.fetch_add(1));
        temporary_ = directory + name;
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
