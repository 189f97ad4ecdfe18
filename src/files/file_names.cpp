#include "files/file_names.h"

#include <cstring>

#include "files/record_index.h"
#include "platform/platform.h"

namespace {

// The next character of text (one or two bytes), letters folded to lower
// case; text moves past it.
uint32_t nextFolded(const unsigned char*& text) {
    unsigned char c = *text++;
    if (platform::isLeadByte(c) && *text != 0) return (static_cast<uint32_t>(c) << 8) | *text++;
    return (c >= 'A' && c <= 'Z') ? static_cast<uint32_t>(c - 'A' + 'a') : c;
}

}  // namespace

bool SameFileNameFolded(const char* a, const char* b, bool ignoreCase) {
    if (!ignoreCase) return std::strcmp(a, b) == 0;
    const unsigned char* left = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* right = reinterpret_cast<const unsigned char*>(b);
    while (*left != 0 && *right != 0) {
        if (nextFolded(left) != nextFolded(right)) return false;
    }
    return *left == 0 && *right == 0;
}

uint32_t HashFileNameFolded(const char* name, bool ignoreCase) {
    if (!ignoreCase) return HashText(name);
    uint32_t hash = 2166136261u;
    const unsigned char* c = reinterpret_cast<const unsigned char*>(name);
    while (*c != 0) {
        uint32_t character = nextFolded(c);
        if (character > 0xFF) hash = (hash ^ (character >> 8)) * 16777619u;
        hash = (hash ^ (character & 0xFF)) * 16777619u;
    }
    return hash;
}

bool SameFileName(const char* a, const char* b) {
    return SameFileNameFolded(a, b, platform::fileNamesIgnoreCase());
}

uint32_t HashFileName(const char* name) {
    return HashFileNameFolded(name, platform::fileNamesIgnoreCase());
}
