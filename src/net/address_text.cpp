#include "net/address_text.h"

#include <cstring>

namespace {

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isNameCharacter(char c) {
    return isLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == ':';
}

}  // namespace

void keepDigitsAndDots(char* out, std::size_t size, const char* text) {
    std::size_t length = 0;
    if (text) {
        for (; *text && length + 1 < size; ++text) {
            if ((*text >= '0' && *text <= '9') || *text == '.') out[length++] = *text;
        }
    }
    out[length] = '\0';
}

bool isServerName(const char* text) {
    if (text == nullptr) return false;
    bool named = false;
    for (; *text; ++text) {
        if (!isNameCharacter(*text)) return false;
        named = named || isLetter(*text) || *text == ':';
    }
    return named;
}

void keepServerAddress(char* out, std::size_t size, const char* text) {
    if (!isServerName(text)) {
        keepDigitsAndDots(out, size, text);
        return;
    }
    std::size_t length = strnlen(text, size - 1);
    std::memmove(out, text, length);
    out[length] = '\0';
}
