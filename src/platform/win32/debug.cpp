#include <windows.h>

#include "platform/platform.h"

namespace platform {

void debugOutput(const char* text) {
    if (text != nullptr) OutputDebugStringA(text);
}

}  // namespace platform
