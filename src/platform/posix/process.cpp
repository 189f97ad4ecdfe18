#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

namespace {

// Where files of the system package are installed when the environment does
// not name a directory in AUTOUPDATE_SYSTEM_DIR.
constexpr const char kDefaultSystemDirectory[] = "/usr/local/lib/autoupdate-system";

std::mutex g_pathOverrideMutex;
bool g_hasPathOverride = false;
std::string g_pathOverride;

// Copies text into out; false (with a truncated copy) when it does not fit.
bool copyBounded(const std::string& text, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return false;
    bool fits = text.size() < size;
    std::size_t length = fits ? text.size() : size - 1;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
    return fits;
}

}  // namespace

bool hostExecutablePath(char* out, std::size_t size) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(g_pathOverrideMutex);
        if (g_hasPathOverride) path = g_pathOverride;
    }
    if (path.empty()) {
        char buffer[4096];
        ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            posix::setLastErrorFromErrno(length < 0 ? errno : ENAMETOOLONG);
            if (out != nullptr && size > 0) out[0] = '\0';
            return false;
        }
        path.assign(buffer, static_cast<std::size_t>(length));
    }
    if (!copyBounded(path, out, size)) {
        posix::setLastError(posix::kErrorInsufficientBuffer);
        return false;
    }
    return true;
}

bool pathsHaveDrives() {
    return false;
}

void setHostExecutablePathForTests(const char* path) {
    std::lock_guard<std::mutex> lock(g_pathOverrideMutex);
    g_hasPathOverride = path != nullptr;
    g_pathOverride = path ? path : "";
}

void systemDirectory(char* out, std::size_t size) {
    const char* configured = std::getenv("AUTOUPDATE_SYSTEM_DIR");
    if (configured == nullptr || configured[0] == '\0') configured = kDefaultSystemDirectory;
    // A directory that does not fit is no directory at all.
    if (!copyBounded(configured, out, size) && out != nullptr && size > 0) out[0] = '\0';
}

}  // namespace platform
