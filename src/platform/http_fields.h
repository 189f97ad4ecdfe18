// The header fields both HTTP back ends read for the core, parsed the same
// way whichever client delivered them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/http.h"

namespace platform {

// The decimal number at *at, moved past it; false when there are no digits
// or they overflow.
inline bool readDecimal(const std::string& text, std::size_t* at, uint64_t* value) {
    const std::size_t start = *at;
    uint64_t result = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(text[*at] - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
        ++*at;
    }
    *value = result;
    return *at > start;
}

// A Content-Length value: only digits.
inline void parseContentLength(const std::string& value, HttpReply* reply) {
    std::size_t at = 0;
    uint64_t length = 0;
    if (!readDecimal(value, &at, &length) || at != value.size()) return;
    reply->lengthKnown = true;
    reply->contentLength = length;
}

// A Content-Range value "bytes FIRST-LAST/TOTAL" or "bytes FIRST-LAST/*";
// anything else (such as a 416's "bytes */TOTAL") leaves the range unknown.
inline void parseContentRange(const std::string& value, HttpReply* reply) {
    if (value.compare(0, 6, "bytes ") != 0) return;
    std::size_t at = 6;
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
    if (!readDecimal(value, &at, &first) || at >= value.size() || value[at++] != '-') return;
    if (!readDecimal(value, &at, &last) || at >= value.size() || value[at++] != '/' || last < first) return;
    if (value.compare(at, std::string::npos, "*") != 0) {
        if (!readDecimal(value, &at, &total) || at != value.size() || total <= last) return;
    }
    reply->rangeKnown = true;
    reply->rangeFirst = first;
    reply->rangeLast = last;
    reply->rangeTotal = total;
}

}  // namespace platform
