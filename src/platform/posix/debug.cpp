#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

void debugOutput(const char* text) {
    if (text != nullptr && std::getenv("AUTOUPDATE_DEBUG") != nullptr) std::fputs(text, stderr);
}

}  // namespace platform
