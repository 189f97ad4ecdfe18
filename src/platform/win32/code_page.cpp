#include <windows.h>

#include "platform/platform.h"

namespace platform {

bool isLeadByte(unsigned char c) {
    return IsDBCSLeadByte(c) != 0;
}

bool fileNamesIgnoreCase() {
    return true;
}

}  // namespace platform
