#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/replace_file.h"

namespace platform {

bool moveFile(const char* source, const char* target) {
    win32::removeLeftoverTemporariesBeside(target);
    // Without MOVEFILE_COPY_ALLOWED a move across volumes fails with
    // ERROR_NOT_SAME_DEVICE, so the caller decides how to copy.
    return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool makeWritable(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    return SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != 0;
}

}  // namespace platform
