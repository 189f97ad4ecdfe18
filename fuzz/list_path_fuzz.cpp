// The list path check over arbitrary paths: whatever it accepts must stay
// below its directory on Windows, and its verdict must not depend on case or
// on the directory the path is put under.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "files/list_path_check.h"
#include "fuzz_support.h"

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// A component Windows reads as the parent or the directory itself once it
// drops trailing dots and blanks.
bool climbs(const std::string& component) {
    std::size_t end = component.find_last_not_of(". ");
    return !component.empty() && end == std::string::npos;
}

std::string flipCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    bool safe = IsSafeListPath(path.c_str());

    if (safe) {
        fuzz::require(path.size() >= 2 && path[0] == '/' && !isSeparator(path[1]));
        fuzz::require(!isSeparator(path.back()));
        fuzz::require(path.find(':') == std::string::npos);
        std::size_t start = 1;
        for (std::size_t i = 1; i <= path.size(); ++i) {
            if (i < path.size() && !isSeparator(path[i])) {
                fuzz::require(static_cast<unsigned char>(path[i]) >= 0x20 && path[i] != 0x7F);
                continue;
            }
            fuzz::require(!climbs(path.substr(start, i - start)));
            start = i + 1;
        }
    }
    // Windows compares names without regard to case.
    fuzz::require(IsSafeListPath(flipCase(path).c_str()) == safe);
    // A component is judged on its own, wherever it stands.
    if (path.size() >= 2 && path[0] == '/' && !isSeparator(path[1])) {
        fuzz::require(IsSafeListPath(("/dir" + path).c_str()) == safe);
    }
    return 0;
}
