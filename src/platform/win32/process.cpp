#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/global_lock.h"

namespace platform {

namespace {

bool g_hasPathOverride = false;
std::string g_pathOverride;

}  // namespace

bool hostExecutablePath(char* out, std::size_t size) {
    if (out == nullptr || size == 0) return false;
    {
        win32::GlobalLock lock;
        if (g_hasPathOverride) {
            std::size_t length = g_pathOverride.size() < size ? g_pathOverride.size() : size - 1;
            std::memcpy(out, g_pathOverride.data(), length);
            out[length] = '\0';
            return length == g_pathOverride.size();
        }
    }
    DWORD length = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
    // A full buffer means a cut path, and older Windows leaves it unterminated.
    out[size - 1] = '\0';
    return length != 0 && length < size;
}

bool pathsHaveDrives() {
    return true;
}

void setHostExecutablePathForTests(const char* path) {
    win32::GlobalLock lock;
    g_hasPathOverride = path != nullptr;
    g_pathOverride = path ? path : "";
}

void systemDirectory(char* out, std::size_t size) {
    if (out == nullptr || size == 0) return;
    UINT length = GetSystemDirectoryA(out, static_cast<UINT>(size));
    // On a buffer too small the result is the size needed and out is untouched.
    if (length == 0 || length >= size) out[0] = '\0';
}

}  // namespace platform
