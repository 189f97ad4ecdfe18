#include "connection_clock.h"

#include <gtest/gtest.h>

namespace {

ClockRules Rules(int64_t idleMs, int64_t requestMs)
{
    ClockRules rules;
    rules.idleMs = idleMs;
    rules.requestMs = requestMs;
    return rules;
}

TEST(ConnectionClock, IdleTimeOutCountsFromTheLastByteEitherWay)
{
    ConnectionClock clock(1000);
    const ClockRules rules = Rules(5000, 2000);
    EXPECT_EQ(nullptr, clock.expired(6000, rules));
    EXPECT_STREQ("idle time-out", clock.expired(6001, rules));

    clock.received(3000);
    clock.sent(3100, true);
    EXPECT_EQ(nullptr, clock.expired(8100, rules));
    EXPECT_STREQ("idle time-out", clock.expired(8101, rules));
}

// One byte a second keeps a connection from ever being idle; the request's
// own deadline still ends it.
TEST(ConnectionClock, ATrickledRequestRunsOutOfTimeDespiteItsActivity)
{
    ConnectionClock clock(0);
    const ClockRules rules = Rules(5000, 3000);
    for (int64_t t = 1000; t <= 3000; t += 1000) {
        clock.received(t);
        EXPECT_EQ(nullptr, clock.expired(t, rules)) << t;
    }
    clock.received(4000);
    EXPECT_EQ(nullptr, clock.expired(4000, rules));
    clock.received(4001);
    EXPECT_STREQ("request time-out", clock.expired(4001, rules));
}

TEST(ConnectionClock, EachRequestHasADeadlineOfItsOwn)
{
    ConnectionClock clock(0);
    const ClockRules rules = Rules(60000, 3000);
    clock.received(1000);
    clock.sent(2000, false);
    clock.sent(3500, true);  // 2.5 s from first byte to the reply's end
    EXPECT_FALSE(clock.requestUnderWay());
    clock.received(3600);
    EXPECT_TRUE(clock.requestUnderWay());
    EXPECT_EQ(nullptr, clock.expired(6600, rules));
    // A reply that a client does not read counts against the same deadline.
    clock.sent(6000, false);
    EXPECT_STREQ("request time-out", clock.expired(6601, rules));
}

TEST(ConnectionClock, WhoGivesWayToANewcomer)
{
    const int64_t now = 100000;
    ConnectionClock working(now - 50);  // asked, was answered, asks again at once
    working.received(now - 40);
    working.sent(now - 30, true);
    ConnectionClock stalled(now - 5000);  // half a request, then nothing
    stalled.received(now - 4000);
    ConnectionClock silent(now - 3000);  // connected, never asked
    ConnectionClock fresh(now - 10);     // connected a moment ago
    ConnectionClock resting(now - 20000);  // answered, then quiet for a while
    resting.received(now - 19000);
    resting.sent(now - 15000, true);
    ConnectionClock pausing(now - 20000);  // answered, quiet for a short while
    pausing.received(now - 3000);
    pausing.sent(now - 3000, true);
    ConnectionClock mid(now - 200);  // a request arriving right now
    mid.received(now - 100);

    EXPECT_EQ(0, working.evictionRank(now));
    EXPECT_EQ(0, fresh.evictionRank(now));
    EXPECT_EQ(0, pausing.evictionRank(now));
    EXPECT_EQ(0, mid.evictionRank(now));
    EXPECT_GT(stalled.evictionRank(now), 0);
    EXPECT_GT(silent.evictionRank(now), 0);
    EXPECT_GT(resting.evictionRank(now), 0);

    EXPECT_TRUE(stalled.evictBefore(silent, now));
    EXPECT_TRUE(silent.evictBefore(resting, now));
    EXPECT_FALSE(resting.evictBefore(stalled, now));

    // Between two of a kind, the one without progress longer goes first.
    ConnectionClock older(now - 9000);
    EXPECT_TRUE(older.evictBefore(silent, now));
    EXPECT_FALSE(silent.evictBefore(older, now));
}

}  // namespace
