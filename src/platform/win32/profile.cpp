#include <windows.h>

#include "platform/platform.h"

namespace platform {

void readProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, std::size_t size, const char* path) {
    if (out == nullptr || size == 0) return;
    GetPrivateProfileStringA(section, key, defaultValue, out, static_cast<DWORD>(size), path);
}

bool writeProfileString(const char* section, const char* key, const char* value,
                        const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) != 0;
}

}  // namespace platform
