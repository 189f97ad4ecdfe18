#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/replace_file.h"

namespace platform {

std::string nativePath(const char* path) {
    return path ? path : "";
}

std::FILE* openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool createDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

bool copyFile(const char* source, const char* target) {
    return win32::replaceByCopy(source, target);
}

bool deleteFile(const char* path) {
    return DeleteFileA(path) != 0;
}

}  // namespace platform
