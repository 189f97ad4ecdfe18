#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

volatile LONG g_seedsDrawn = 0;

// splitmix64's finaliser: every bit of the input moves about half the output.
ULONGLONG mix(ULONGLONG x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace

// Only KERNEL32: the performance counter moves many times a microsecond, the
// process and thread ids tell apart clients started together, and the count
// of calls keeps two calls of one thread apart even on a coarse counter.
uint32_t randomSeed() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    ULONGLONG state = static_cast<ULONGLONG>(counter.QuadPart);
    state ^= static_cast<ULONGLONG>(GetCurrentProcessId()) << 40;
    state ^= static_cast<ULONGLONG>(GetCurrentThreadId()) << 20;
    state ^= static_cast<ULONGLONG>(GetTickCount()) << 8;
    state += 0x9E3779B97F4A7C15ULL * static_cast<ULONGLONG>(InterlockedIncrement(&g_seedsDrawn));
    return static_cast<uint32_t>(mix(state));
}

}  // namespace platform
