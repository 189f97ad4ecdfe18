#include "connection_clock.h"

void ConnectionClock::received(int64_t now)
{
    lastActive_ = now;
    spoke_ = true;
    if (requestStarted_ < 0) requestStarted_ = now;
}

void ConnectionClock::answered(int64_t now, bool gameFile)
{
    askedForFile_ = askedForFile_ || gameFile;
    lastActive_ = now;
    spoke_ = true;
    requestStarted_ = -1;
    replyMoved_ = now;
    ++requests_;
}

void ConnectionClock::sent(int64_t now, bool replyDone)
{
    lastActive_ = now;
    replyMoved_ = replyDone ? -1 : now;
}
