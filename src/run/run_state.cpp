#include "run/run_state.h"

#include <cstring>
#include <new>

RunState g_RunState;
std::atomic<platform::Socket> g_Socket{0};

RunState::RunState() {
    workerFinished = 1;
}

void resetRunState() {
    g_RunState.~RunState();
    std::memset(static_cast<void*>(&g_RunState), 0, sizeof g_RunState);
    new (&g_RunState) RunState();
    g_Socket = 0;
}
