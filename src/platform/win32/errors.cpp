#include <windows.h>

#include "platform/platform.h"

namespace platform {

// Winsock 1.1 keeps its errors in the thread's last error as well.
uint32_t lastError() {
    return GetLastError();
}

}  // namespace platform
