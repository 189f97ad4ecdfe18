// The worker's stop test: a raised stopRequested is acknowledged by lowering
// it (EndUpdate stops waiting on that) and the run ends quietly.
#pragma once

#include "run/run_state.h"

// workerFinished goes up before the acknowledgement: the run is over from
// here, and the worker leaves its thread without another notification.
inline bool stopTest() {
    if (!g_RunState.stopRequested) return false;
    g_RunState.workerFinished = 1;
    g_RunState.stopRequested = 0;
    return true;
}

// Ends the run: the worker leaves its thread right after this.
inline void endRun() {
    g_RunState.workerFinished = 1;
}
