#include "platform/platform.h"

namespace platform {

bool isLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

bool fileNamesIgnoreCase() {
    return false;
}

}  // namespace platform
