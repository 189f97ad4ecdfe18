// A DLL of the system directory, loaded by its full path so that no copy in
// the launcher's folder or the current directory is taken instead.
#pragma once

#include <windows.h>

#include <cstring>

namespace platform {
namespace win32 {

// Null when the system directory is unknown or the DLL cannot be loaded.
inline HMODULE loadSystemLibrary(const char* fileName) {
    char path[MAX_PATH + 32];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || std::strlen(fileName) + 2 > sizeof path - length) return nullptr;
    path[length] = '\\';
    std::strcpy(path + length + 1, fileName);
    return LoadLibraryA(path);
}

}  // namespace win32
}  // namespace platform
