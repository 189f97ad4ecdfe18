// One process-wide lock for the little shared state of the Windows layer
// (the MinGW runtime in use has no std::mutex).
#pragma once

#include <windows.h>

namespace platform {
namespace win32 {

class GlobalLock {
public:
    GlobalLock() { EnterCriticalSection(&section()); }
    ~GlobalLock() { LeaveCriticalSection(&section()); }
    GlobalLock(const GlobalLock&) = delete;
    GlobalLock& operator=(const GlobalLock&) = delete;

private:
    static CRITICAL_SECTION& section() {
        static CRITICAL_SECTION s;
        static const bool ready = (InitializeCriticalSection(&s), true);
        (void)ready;
        return s;
    }
};

}  // namespace win32
}  // namespace platform
