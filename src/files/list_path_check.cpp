#include "files/list_path_check.h"

#include <cstddef>
#include <initializer_list>

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

bool sameLetters(const char* text, const char* upper, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

// Digits after COM and LPT, the superscripts ¹ ² ³ of code page 1252
// included, which Windows takes as digits there.
bool isPortDigit(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (c >= '0' && c <= '9') || u == 0xB9 || u == 0xB2 || u == 0xB3;
}

// Windows opens a device for these names in any directory, whatever
// extension follows and with trailing blanks dropped: "\NUL.dat" writes
// nowhere, "CON" waits on a console.
bool isDeviceName(const char* begin, const char* end) {
    const char* stem = begin;
    while (stem != end && *stem != '.') ++stem;
    while (stem != begin && stem[-1] == ' ') --stem;
    std::size_t length = static_cast<std::size_t>(stem - begin);
    if (length == 3) {
        for (const char* name : {"CON", "PRN", "AUX", "NUL"}) {
            if (sameLetters(begin, name, 3)) return true;
        }
        return false;
    }
    if (length == 4) {
        return (sameLetters(begin, "COM", 3) || sameLetters(begin, "LPT", 3)) && isPortDigit(begin[3]);
    }
    return (length == 6 && sameLetters(begin, "CONIN$", 6)) ||
           (length == 7 && sameLetters(begin, "CONOUT$", 7));
}

}  // namespace

bool IsSafeListPath(const char* path) {
    if (path == nullptr || path[0] != '/' || isSeparator(path[1])) {
        return false;
    }
    const char* componentStart = path + 1;
    for (const char* c = path + 1;; ++c) {
        if (*c == '\0' || isSeparator(*c)) {
            if (isDotsAndSpacesOnly(componentStart, c) || isDeviceName(componentStart, c)) {
                return false;
            }
            if (*c == '\0') {
                // "/" alone, or a path ending in a separator, names a
                // directory and no file.
                return c != componentStart;
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
