#include <sys/prctl.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace platform {

namespace {

std::atomic<uint32_t (*)()> g_tickHook{nullptr};
std::atomic<void (*)(uint32_t)> g_sleepHook{nullptr};

}  // namespace

uint32_t tickCount() {
    if (auto hook = g_tickHook.load()) return hook();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t utcSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec > 0 ? static_cast<uint64_t>(now.tv_sec) : 0;
}

void sleepMs(uint32_t milliseconds) {
    if (auto hook = g_sleepHook.load()) {
        hook(milliseconds);
        return;
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000u),
                       static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

uint64_t preciseMicros() {
    if (auto hook = g_tickHook.load()) return static_cast<uint64_t>(hook()) * 1000u;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void sleepMicros(uint32_t microseconds) {
    if (auto hook = g_sleepHook.load()) {
        hook((microseconds + 999u) / 1000u);
        return;
    }
    // The kernel may let a sleep run 50 us past its end by default, which
    // on a pause of a few milliseconds per frame adds up; the thread that
    // pauses asks for the end to be kept closely.
    static thread_local bool closeTimers = prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0) == 0;
    (void)closeTimers;
    timespec remaining{static_cast<time_t>(microseconds / 1000000u),
                       static_cast<long>(microseconds % 1000000u) * 1000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void setClockForTests(const ClockHooks* hooks) {
    g_tickHook.store(hooks ? hooks->tick : nullptr);
    g_sleepHook.store(hooks ? hooks->sleep : nullptr);
}

}  // namespace platform
