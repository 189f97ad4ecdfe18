#include "net/file_transfer.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace {
constexpr uint32_t kSpeedInterval = 1000;
}

void startSpeedReports() {
    g_RunState.speedActive = true;
    g_RunState.speedTick = platform::tickCount();
    g_RunState.speedBytes = g_RunState.sendnow;
}

void reportSpeed() {
    if (!g_RunState.speedActive) return;
    uint32_t now = platform::tickCount();
    // Unsigned difference: the tick wraps after 49.7 days.
    if (now - g_RunState.speedTick <= kSpeedInterval) return;
    g_RunState.speedTick = now;
    // Unsigned as well: sendnow passes 2^31 in a run of more than 2 GiB.
    uint32_t received = static_cast<uint32_t>(g_RunState.sendnow) - static_cast<uint32_t>(g_RunState.speedBytes);
    intptr_t kib = static_cast<intptr_t>(received / 1024);
    g_RunState.speedBytes = g_RunState.sendnow;
    notifyHost(AU_MSG_STATUS, AU_STATUS_SPEED, kib);
}
