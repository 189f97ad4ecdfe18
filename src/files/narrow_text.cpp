#include "files/narrow_text.h"

#include "platform/platform.h"

bool EndsWithBackslash(const char* text) {
    if (text == nullptr) return false;
    // The bytes before the end cannot tell a trail byte from a character of
    // its own, so the text is walked from its start.
    const char* last = nullptr;
    const char* c = text;
    while (*c != '\0') {
        last = c;
        c += (platform::isLeadByte(static_cast<unsigned char>(*c)) && c[1] != '\0') ? 2 : 1;
    }
    return last != nullptr && c - last == 1 && *last == '\\';
}
