#include "net/receive_limit.h"

#include "platform/platform.h"
#include "run/run_state.h"

namespace {

// A stop must never wait long for the next test of stopRequested.
constexpr uint64_t kStepMicros = 50000;
// What a quiet spell may save up: a tenth of a second at the capped rate,
// so pauses between frames (the base protocol's own, a digest) are not
// spent later as a burst above the cap.
constexpr uint64_t kBurstMicros = 100000;

uint64_t g_bytesPerSecond = 0;
// Bytes the cap allows now, times a million (so that a microsecond's worth
// of a slow rate is not lost to rounding); negative while frames are owed.
int64_t g_credit = 0;
uint64_t g_lastMicros = 0;

void refill() {
    const uint64_t now = platform::preciseMicros();
    const int64_t ceiling = static_cast<int64_t>(g_bytesPerSecond * kBurstMicros);
    g_credit += static_cast<int64_t>((now - g_lastMicros) * g_bytesPerSecond);
    if (g_credit > ceiling) g_credit = ceiling;
    g_lastMicros = now;
}

}  // namespace

void startReceiveLimit(uint32_t limitKiB) {
    const uint32_t kib = limitKiB == 0 || limitKiB >= kReceiveLimitFloorKiB ? limitKiB : kReceiveLimitFloorKiB;
    g_bytesPerSecond = static_cast<uint64_t>(kib) * 1024u;
    g_credit = 0;
    g_lastMicros = platform::preciseMicros();
}

bool paceReceived(uint32_t bytes) {
    if (g_bytesPerSecond == 0) return true;
    refill();
    g_credit -= static_cast<int64_t>(bytes) * 1000000;
    while (g_credit < 0) {
        if (g_RunState.stopRequested) return false;
        const uint64_t owed = (static_cast<uint64_t>(-g_credit) + g_bytesPerSecond - 1) / g_bytesPerSecond;
        platform::sleepMicros(static_cast<uint32_t>(owed < kStepMicros ? owed : kStepMicros));
        refill();
    }
    return !g_RunState.stopRequested;
}
