#ifndef UPDATE_HOST_HOST_SESSION_H
#define UPDATE_HOST_HOST_SESSION_H

#include "progress_bar.h"
#include "run_summary.h"
#include "transcript.h"

#include <cstdint>

enum ExitStatus {
    kExitComplete = 0,
    kExitIncomplete = 1,
    kExitRefused = 2,
    kExitStopped = 3,
};

// What one run has told the launcher so far, and whether it is over. The
// launchers call it under their own lock (POSIX: from the worker thread;
// Windows: from the window procedure and the dialog watcher); times are in
// milliseconds of any steady clock.
class HostSession {
public:
    HostSession(Transcript& transcript, ProgressBar* bar, int64_t quietPeriodMs)
        : transcript_(transcript), bar_(bar), quietPeriodMs_(quietPeriodMs) {}

    void autoUpdateReturned(int32_t result);
    void notify(unsigned msg, uintptr_t wParam, intptr_t lParam, int64_t nowMs);
    void questionAsked(const char* text);
    void questionAnswered(bool yes);
    // tookMs: how long the EndUpdate call took. One that used its whole
    // budget ended a worker that did not leave by itself: a warning says so.
    void endUpdateReturned(int32_t result, int64_t tookMs = 0);

    // The run has ended: the final report came, or an error that may end the
    // run was followed by the quiet period without any further message.
    bool runEnded(int64_t nowMs) const;
    // Milliseconds until the quiet period runs out; -1 when none is running.
    int64_t quietRemaining(int64_t nowMs) const;
    // 0 for a complete run, else 1 (meaningful once runEnded()).
    int outcome() const;

    bool finalReported() const { return finalReported_; }
    const RunSummary& summary() const { return summary_; }

private:
    Transcript& transcript_;
    ProgressBar* bar_;
    RunSummary summary_;
    int64_t quietPeriodMs_;
    bool finalReported_ = false;
    bool complete_ = false;
    bool errorPending_ = false;
    int64_t errorAtMs_ = 0;
    int questionsOpen_ = 0;
};

#endif
