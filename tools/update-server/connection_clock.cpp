#include "connection_clock.h"

void ConnectionClock::received(int64_t now)
{
    lastActive_ = now;
    if (requestStarted_ < 0) requestStarted_ = now;
}

void ConnectionClock::sent(int64_t now, bool replyDone)
{
    lastActive_ = now;
    if (replyDone) {
        requestStarted_ = -1;
        answeredOnce_ = true;
    }
}

const char* ConnectionClock::expired(int64_t now, const ClockRules& rules) const
{
    if (requestStarted_ >= 0 && now - requestStarted_ > rules.requestMs) return "request time-out";
    if (now - lastActive_ > rules.idleMs) return "idle time-out";
    return nullptr;
}

int ConnectionClock::evictionRank(int64_t now) const
{
    if (requestStarted_ >= 0) return now - requestStarted_ >= kStalledRequestMs ? 3 : 0;
    const int64_t idle = now - lastActive_;
    if (!answeredOnce_) return idle >= kSilentNewcomerMs ? 2 : 0;
    return idle >= kIdleBetweenRequestsMs ? 1 : 0;
}

bool ConnectionClock::evictBefore(const ConnectionClock& other, int64_t now) const
{
    const int mine = evictionRank(now);
    const int theirs = other.evictionRank(now);
    if (mine != theirs) return mine > theirs;
    return lastActive_ < other.lastActive_;
}
