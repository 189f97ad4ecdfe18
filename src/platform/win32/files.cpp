#include <windows.h>

#include "platform/platform.h"

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
    return CopyFileA(source, target, FALSE) != 0;
}

bool deleteFile(const char* path) {
    return DeleteFileA(path) != 0;
}

}  // namespace platform
