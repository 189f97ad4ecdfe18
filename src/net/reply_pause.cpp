#include <cstdint>

#include "net/frames.h"
#include "platform/platform.h"
#include "run/run_state.h"

void owePause() {
    g_RunState.frameArrivedMicros = platform::preciseMicros();
    g_RunState.pauseOwed = 1;
}

void settlePause() {
    if (!g_RunState.pauseOwed) return;
    g_RunState.pauseOwed = 0;
    const uint64_t owed = kReplyPauseMs * 1000u;
    const uint64_t passed = platform::preciseMicros() - g_RunState.frameArrivedMicros;
    if (passed < owed) platform::sleepMicros(static_cast<uint32_t>(owed - passed));
}
