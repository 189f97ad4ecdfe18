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

void sleepMs(uint32_t milliseconds) {
    if (auto hook = g_sleepHook.load()) {
        hook(milliseconds);
        return;
    }
    Sleep(milliseconds);
}

void setClockForTests(const ClockHooks* hooks) {
    g_tickHook.store(hooks ? hooks->tick : nullptr);
    g_sleepHook.store(hooks ? hooks->sleep : nullptr);
}

}  // namespace platform
