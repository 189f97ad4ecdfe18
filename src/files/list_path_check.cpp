#include "files/list_path_check.h"

#include <cstddef>

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// Windows drops trailing dots and spaces from a name, so ".. " or "..."
// can end up meaning the parent; a component of nothing else is never a real
// file name in a list.
bool isDotsAndSpacesOnly(const char* begin, const char* end) {
    if (begin == end) {
        return false;
    }
    for (const char* c = begin; c != end; ++c) {
        if (*c != '.' && *c != ' ') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsSafeListPath(const char* path) {
    if (path == nullptr || path[0] != '/' || isSeparator(path[1])) {
        return false;
    }
    const char* componentStart = path + 1;
    for (const char* c = path + 1;; ++c) {
        if (*c == '\0' || isSeparator(*c)) {
            if (isDotsAndSpacesOnly(componentStart, c)) {
                return false;
            }
            if (*c == '\0') {
                return true;
            }
            componentStart = c + 1;
            continue;
        }
        if (*c == ':' || isControl(static_cast<unsigned char>(*c))) {
            return false;
        }
    }
}

bool ListIsSafe(const UpdateListEntry* list, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        // A record's path always fits its field; one without a NUL there did
        // not come from the reader and cannot be trusted.
        bool terminated = false;
        for (std::size_t k = 0; k < sizeof list[i].path; ++k) {
            if (list[i].path[k] == '\0') {
                terminated = true;
                break;
            }
        }
        if (!terminated || !IsSafeListPath(list[i].path)) {
            return false;
        }
    }
    return true;
}
