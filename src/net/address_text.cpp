#include "net/address_text.h"

void keepDigitsAndDots(char* out, std::size_t size, const char* text) {
    std::size_t length = 0;
    if (text) {
        for (; *text && length + 1 < size; ++text) {
            if ((*text >= '0' && *text <= '9') || *text == '.') out[length++] = *text;
        }
    }
    out[length] = '\0';
}
