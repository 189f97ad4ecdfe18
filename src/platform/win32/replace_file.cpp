#include "platform/win32/replace_file.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "platform/win32/global_lock.h"

namespace platform {
namespace win32 {

const char kTemporaryPrefix[] = ".autoupdate~";

namespace {

LONG g_replacementSerial = 0;

// The folder part of path, separator included; the path is read in the
// system code page, whose second bytes may be 0x5C.
std::string directoryOf(const char* path) {
    std::size_t end = 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0') {
            ++i;
        } else if (path[i] == '\\' || path[i] == '/') {
            end = i + 1;
        }
    }
    return std::string(path, end);
}

// The process number of a temporary's name, or 0 when the name is not one.
DWORD ownerOfTemporary(const char* name) {
    const std::size_t prefixLength = sizeof kTemporaryPrefix - 1;
    if (std::strncmp(name, kTemporaryPrefix, prefixLength) != 0) return 0;
    const char* c = name + prefixLength;
    if (*c < '0' || *c > '9') return 0;
    char* end = nullptr;
    unsigned long pid = std::strtoul(c, &end, 10);
    if (*end != '.' || end[1] < '0' || end[1] > '9') return 0;
    c = end + 1;
    while (*c >= '0' && *c <= '9') ++c;
    return std::strcmp(c, ".tmp") == 0 ? static_cast<DWORD>(pid) : 0;
}

bool processRuns(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

void sweepOnce(const std::string& directory) {
    static std::set<std::string>* swept = new std::set<std::string>();
    {
        GlobalLock lock;
        if (!swept->insert(directory).second) return;
    }
    const DWORD savedError = GetLastError();
    removeLeftoverTemporaries(directory.c_str());
    SetLastError(savedError);
}

void removeTemporary(const std::string& path) {
    const DWORD savedError = GetLastError();
    // CopyFileA gave the copy the source's attributes, read-only included.
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    SetLastError(savedError);
}

}  // namespace

int removeLeftoverTemporaries(const char* directory) {
    const std::string folder = directory ? directory : "";
    const std::string pattern = folder + kTemporaryPrefix + "*.tmp";
    WIN32_FIND_DATAA data;
    HANDLE found = FindFirstFileA(pattern.c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    const DWORD self = GetCurrentProcessId();
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const DWORD owner = ownerOfTemporary(data.cFileName);
        // This process's own temporaries may be in use by another thread.
        if (owner == 0 || owner == self || processRuns(owner)) continue;
        const std::string path = folder + data.cFileName;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileA(path.c_str())) ++removed;
    } while (FindNextFileA(found, &data));
    FindClose(found);
    return removed;
}

bool replaceByCopy(const char* source, const char* target) {
    const std::string directory = directoryOf(target);
    sweepOnce(directory);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "%s%lu.%ld.tmp", kTemporaryPrefix,
                      static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<long>(InterlockedIncrement(&g_replacementSerial)));
        const std::string temporary = directory + name;
        // A folder too deep for a temporary name: the copy cannot be staged
        // beside the target, so it overwrites the target as CopyFileA does.
        if (temporary.size() >= MAX_PATH) return CopyFileA(source, target, FALSE) != 0;
        if (!CopyFileA(source, temporary.c_str(), TRUE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            // A copy that failed half-way (a full disk) leaves its part.
            removeTemporary(temporary);
            return false;
        }
        if (MoveFileExA(temporary.c_str(), target, MOVEFILE_REPLACE_EXISTING)) return true;
        removeTemporary(temporary);
        return false;
    }
    return false;
}

void removeLeftoverTemporariesBeside(const char* target) {
    sweepOnce(directoryOf(target));
}

}  // namespace win32
}  // namespace platform
