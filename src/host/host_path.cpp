#include "host/host_path.h"

#include <cstring>

#include "platform/platform.h"

namespace {

void copyRange(char* out, std::size_t size, const char* begin, const char* end) {
    std::size_t length = static_cast<std::size_t>(end - begin);
    if (length >= size) length = size - 1;
    std::memcpy(out, begin, length);
    out[length] = '\0';
}

}  // namespace

void splitHostPath(const char* path, HostPathParts* parts) {
    std::memset(parts, 0, sizeof *parts);
    const char* rest = path;
    if (rest[0] && rest[1] == ':') {
        copyRange(parts->drive, sizeof parts->drive, rest, rest + 2);
        rest += 2;
    }

    const char* lastSeparator = nullptr;
    for (const char* c = rest; *c; ++c) {
        if (*c == '\\' || *c == '/') lastSeparator = c;
    }
    const char* fileStart = rest;
    if (lastSeparator) {
        copyRange(parts->directory, sizeof parts->directory, rest, lastSeparator + 1);
        fileStart = lastSeparator + 1;
    }

    const char* end = fileStart + std::strlen(fileStart);
    const char* dot = std::strrchr(fileStart, '.');
    if (!dot) dot = end;
    copyRange(parts->name, sizeof parts->name, fileStart, dot);
    copyRange(parts->extension, sizeof parts->extension, dot, end);
}

bool hostExecutableParts(HostPathParts* parts) {
    char path[259];
    std::memset(parts, 0, sizeof *parts);
    if (!platform::hostExecutablePath(path, sizeof path)) return false;
    splitHostPath(path, parts);
    return true;
}
