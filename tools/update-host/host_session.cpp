#include "host_session.h"

#include <autoupdate.h>

void HostSession::autoUpdateReturned(int32_t result)
{
    transcript_.autoUpdateReturned(result);
}

void HostSession::notify(unsigned msg, uintptr_t wParam, intptr_t lParam, int64_t nowMs)
{
    transcript_.write(formatNotification(msg, wParam, lParam));
    if (transcript_.finished())
        return;
    summary_.observe(msg, wParam, lParam, nowMs);
    if (bar_)
        bar_->observe(msg, wParam, lParam);

    // Any message shows the run is still going; only the error itself starts the wait.
    errorPending_ = false;
    if (msg != AU_MSG_STATUS || finalReported_)
        return;
    if (wParam == AU_STATUS_FINAL) {
        finalReported_ = true;
        complete_ = lParam == 1;
    } else if (wParam == AU_STATUS_ERROR && lParam != AU_ERR_TRANSFER) {
        // A failed transfer never ends the run; the worker goes on with the next file.
        errorPending_ = true;
        errorAtMs_ = nowMs;
    }
}

void HostSession::questionAsked(const char* text)
{
    ++questionsOpen_;
    transcript_.write(formatAsked(text));
}

void HostSession::questionAnswered(bool yes)
{
    if (questionsOpen_ > 0)
        --questionsOpen_;
    transcript_.write(formatAnswered(yes));
}

void HostSession::endUpdateReturned(int32_t result, int64_t tookMs)
{
    if (bar_)
        bar_->finish();
    transcript_.endUpdateReturned(result);
    // The library waits 40 steps of 100 ms for its worker, then ends it.
    constexpr int64_t kEndUpdateBudgetMs = 4000;
    if (tookMs >= kEndUpdateBudgetMs)
        transcript_.warn("EndUpdate took " + std::to_string(tookMs) +
                         " ms: the worker did not stop by itself and was ended");
}

int64_t HostSession::quietRemaining(int64_t nowMs) const
{
    if (!errorPending_ || questionsOpen_ > 0)
        return -1;
    int64_t left = errorAtMs_ + quietPeriodMs_ - nowMs;
    return left > 0 ? left : 0;
}

bool HostSession::runEnded(int64_t nowMs) const
{
    return finalReported_ || quietRemaining(nowMs) == 0;
}

int HostSession::outcome() const
{
    return finalReported_ && complete_ ? kExitComplete : kExitIncomplete;
}
