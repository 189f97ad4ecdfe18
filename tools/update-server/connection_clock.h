// The times of one connection that decide when it loses its slot: idle too
// long, a request that takes too long from its first byte to the end of its
// reply (a client trickling bytes keeps itself busy but never gets done), and
// how readily it gives way to a newcomer when the server is full.
#pragma once

#include <cstdint>

struct ClockRules {
    int64_t idleMs = 60000;
    int64_t requestMs = 30000;
};

class ConnectionClock {
public:
    ConnectionClock() = default;
    explicit ConnectionClock(int64_t openedAt) : lastActive_(openedAt) {}

    // Bytes of a request came in; the first ones start its deadline.
    void received(int64_t now);
    // Bytes of a reply went out; replyDone when the reply is complete.
    void sent(int64_t now, bool replyDone);

    // Why the connection is to be closed at now, or null.
    const char* expired(int64_t now, const ClockRules& rules) const;

    // 0: keeps its slot. Otherwise the higher the rank, the sooner it gives
    // way: a request stalled half-way, then a connection that never asked
    // anything, then one idle for a while between requests.
    int evictionRank(int64_t now) const;
    // Whether this connection gives way before other at now.
    bool evictBefore(const ConnectionClock& other, int64_t now) const;

    int64_t lastActive() const { return lastActive_; }
    bool requestUnderWay() const { return requestStarted_ >= 0; }

    // A real client sends a whole request in one write and asks again as soon
    // as a reply is in; pauses longer than these are not a client at work.
    static constexpr int64_t kStalledRequestMs = 1000;
    static constexpr int64_t kSilentNewcomerMs = 1000;
    static constexpr int64_t kIdleBetweenRequestsMs = 10000;

private:
    int64_t lastActive_ = 0;
    int64_t requestStarted_ = -1;
    bool answeredOnce_ = false;
};
