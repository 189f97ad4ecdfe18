#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {

std::atomic<uint32_t (*)()> g_tickHook{nullptr};
std::atomic<void (*)(uint32_t)> g_sleepHook{nullptr};

}  // namespace

uint32_t tickCount() {
    if (auto hook = g_tickHook.load()) return hook();
    return GetTickCount();
}

uint64_t utcSeconds() {
    // FILETIME counts 100 ns steps from 1601; 11644473600 s lie between 1601 and 1970.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const uint64_t steps = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const uint64_t seconds = steps / 10000000u;
    return seconds > 11644473600ull ? seconds - 11644473600ull : 0;
}

void sleepMs(uint32_t milliseconds) {
    if (auto hook = g_sleepHook.load()) {
        hook(milliseconds);
        return;
    }
    Sleep(milliseconds);
}

uint64_t preciseMicros() {
    if (auto hook = g_tickHook.load()) return static_cast<uint64_t>(hook()) * 1000u;
    static const uint64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<uint64_t>(value.QuadPart);
    }();
    LARGE_INTEGER now{};
    if (frequency == 0 || !QueryPerformanceCounter(&now)) return static_cast<uint64_t>(GetTickCount()) * 1000u;
    uint64_t counts = static_cast<uint64_t>(now.QuadPart);
    return counts / frequency * 1000000u + counts % frequency * 1000000u / frequency;
}

void sleepMicros(uint32_t microseconds) {
    // Sleep counts whole milliseconds; rounding up keeps the pause whole.
    sleepMs((microseconds + 999u) / 1000u);
}

void setClockForTests(const ClockHooks* hooks) {
    g_tickHook.store(hooks ? hooks->tick : nullptr);
    g_sleepHook.store(hooks ? hooks->sleep : nullptr);
}

}  // namespace platform
