#include "files/path_utils.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr std::size_t kLastComponentPathLimit = 256;
// Texts split by SplitFirstComponent and the running path of
// CreateDirectoryChain live in 256-byte buffers, NUL included.
constexpr std::size_t kTextCapacity = 256;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// strlen that looks at no more than limit bytes.
std::size_t boundedLength(const char* text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    return length;
}

}  // namespace

bool LastPathComponent(const char* path, char* out) {
    if (path == nullptr) {
        return false;
    }
    std::size_t length = boundedLength(path, kLastComponentPathLimit + 1);
    if (length == 0 || length > kLastComponentPathLimit) {
        return false;
    }
    std::size_t end = length;
    while (end > 0 && isSeparator(path[end - 1])) {
        --end;
    }
    if (end == 0) {
        return false;
    }
    std::size_t begin = end;
    while (begin > 0 && !isSeparator(path[begin - 1])) {
        --begin;
    }
    std::memcpy(out, path + begin, end - begin);
    out[end - begin] = '\0';
    return true;
}

bool SplitFirstComponent(char* text, char* out) {
    if (text == nullptr || text[0] == '\0') {
        return false;
    }
    std::size_t leading = 0;
    while (isSeparator(text[leading])) {
        ++leading;
    }
    std::size_t length = std::strlen(text + leading);
    if (leading > 0) {
        std::memmove(text, text + leading, length + 1);
    }

    std::size_t split = 0;
    while (split < length && !isSeparator(text[split])) {
        ++split;
    }
    if (split == length) {
        return false;
    }
    // A component that would not fit the 256-byte output is refused rather
    // than cut: a shortened name would create or open the wrong directory.
    if (split >= kTextCapacity) {
        return false;
    }
    std::memcpy(out, text, split);
    out[split] = '\0';
    std::memmove(text, text + split + 1, length - split);
    return true;
}

void CreateDirectoryChain(char* runningPath, const char* relative) {
    if (runningPath == nullptr || relative == nullptr) {
        return;
    }
    // A relative path beyond the working text's capacity is refused whole;
    // cutting it could turn part of a file name into a directory.
    std::size_t relativeLength = boundedLength(relative, kTextCapacity);
    if (relativeLength >= kTextCapacity) {
        return;
    }
    char working[kTextCapacity];
    std::memcpy(working, relative, relativeLength + 1);

    char component[kTextCapacity];
    std::size_t pathLength = boundedLength(runningPath, kTextCapacity);
    while (SplitFirstComponent(working, component)) {
        std::size_t componentLength = std::strlen(component);
        // The chain ends at the first level whose path would not fit the
        // running path's 256 bytes; deeper levels could not be reached anyway.
        if (pathLength + 1 + componentLength >= kTextCapacity) {
            return;
        }
        runningPath[pathLength] = '\\';
        std::memcpy(runningPath + pathLength + 1, component, componentLength + 1);
        pathLength += 1 + componentLength;
        platform::createDirectory(runningPath);
    }
}
