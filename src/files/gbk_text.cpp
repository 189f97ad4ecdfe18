#include "files/gbk_text.h"

namespace {

bool isLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

}  // namespace

bool EndsWithBackslash(const char* text) {
    if (text == nullptr) return false;
    // The bytes before the end cannot tell a trail byte from a character of
    // its own, so the text is walked from its start.
    const char* last = nullptr;
    const char* c = text;
    while (*c != '\0') {
        last = c;
        c += (isLeadByte(static_cast<unsigned char>(*c)) && c[1] != '\0') ? 2 : 1;
    }
    return last != nullptr && c - last == 1 && *last == '\\';
}
