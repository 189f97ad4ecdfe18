#include "config/xml_config_reader.h"

namespace {

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

// Only such names are handed to the XML component, so nothing a caller passes
// can be read as a query expression.
bool IsPlainName(const char* name) {
    if (name == nullptr || !isAsciiLetter(name[0])) {
        return false;
    }
    for (const char* c = name + 1; *c != '\0'; ++c) {
        if (!isAsciiLetter(*c) && !isAsciiDigit(*c)) {
            return false;
        }
    }
    return true;
}
