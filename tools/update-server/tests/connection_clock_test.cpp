#include "admission_policy.h"
#include "connection_clock.h"
#include "server_stats.h"

#include <gtest/gtest.h>

namespace {

AdmissionRules Rules(int64_t idleMs, int64_t requestMs)
{
    AdmissionRules rules;
    rules.idleMs = idleMs;
    rules.requestMs = requestMs;
    return rules;
}

std::string Why(const ConnectionClock& clock, int64_t now, const AdmissionRules& rules,
                SlotState state = SlotState::Served)
{
    CloseReason why;
    return Expired(clock, state, now, rules, &why) ? CloseReasonText(why) : "";
}

TEST(ConnectionClock, IdleTimeOutCountsFromTheLastByteEitherWay)
{
    ConnectionClock clock(1000);
    const AdmissionRules rules = Rules(5000, 2000);
    clock.received(3000);
    clock.answered(3000, true);
    clock.sent(3100, true);
    EXPECT_EQ("", Why(clock, 8100, rules));
    EXPECT_EQ("idle time-out", Why(clock, 8101, rules));
}

// One byte a second keeps a connection from ever being idle; the request's
// own deadline still ends it.
TEST(ConnectionClock, ATrickledRequestRunsOutOfTimeDespiteItsActivity)
{
    ConnectionClock clock(0);
    const AdmissionRules rules = Rules(5000, 3000);
    for (int64_t t = 1000; t <= 4000; t += 1000) {
        clock.received(t);
        EXPECT_EQ("", Why(clock, t, rules)) << t;
    }
    clock.received(4001);
    EXPECT_EQ("request time-out", Why(clock, 4001, rules));
}

// A reply on a slow link takes as long as it takes while bytes keep leaving;
// one the client stops reading ends at the deadline.
TEST(ConnectionClock, AReplyIsTimedByItsProgressNotItsSize)
{
    ConnectionClock clock(0);
    const AdmissionRules rules = Rules(60000, 3000);
    clock.received(1000);
    clock.answered(1000, true);
    for (int64_t t = 3000; t <= 60000; t += 2500) clock.sent(t, false);
    EXPECT_EQ("", Why(clock, 61000, rules));
    EXPECT_EQ("reply stalled: the client took nothing", Why(clock, 61501, rules));
    clock.sent(61400, true);
    EXPECT_EQ("", Why(clock, 61501, rules));
}

// The client waits 2000 ms (2400 after a reconnect) before it speaks: no
// silence of that length is held against it, and one that spoke and waits
// for a slot waits for the server, never times out.
TEST(ConnectionClock, ThePauseBeforeTheFirstRequestIsWaitedFor)
{
    const AdmissionRules rules = Rules(600000, 30000);
    ConnectionClock silent(0);
    EXPECT_EQ("", Why(silent, 2400, rules, SlotState::Waiting));
    EXPECT_FALSE(SilentPastPause(silent, SlotState::Waiting, 2400));
    EXPECT_TRUE(SilentPastPause(silent, SlotState::Waiting, kSilentPastPauseMs + 1));
    EXPECT_FALSE(SilentPastPause(silent, SlotState::Ready, kSilentPastPauseMs + 1));
    EXPECT_EQ("no request after the client's pause", Why(silent, kFirstRequestMs + 1, rules, SlotState::Waiting));
    EXPECT_EQ("", Why(silent, 3600000, rules, SlotState::Ready));
    // A first run digests the installed files between the list and its first
    // file request: the idle time-out counts only from that request on.
    silent.received(2000);
    silent.answered(2000, false);
    silent.sent(2001, true);
    EXPECT_EQ("", Why(silent, 2001 + kListToFileMs, Rules(1000, 30000)));
    EXPECT_EQ("idle time-out", Why(silent, 2002 + kListToFileMs, Rules(1000, 30000)));
    silent.received(3000);
    silent.answered(3000, true);
    silent.sent(3001, true);
    EXPECT_EQ("idle time-out", Why(silent, 4002, Rules(1000, 30000)));
    // Silent between requests, it may give its slot to one that waits, and
    // is never the one closed to make room for its address.
    EXPECT_FALSE(MayPark(silent, 3001 + kParkAfterMs - 1));
    EXPECT_TRUE(MayPark(silent, 3001 + kParkAfterMs));
    EXPECT_FALSE(SilentPastPause(silent, SlotState::Waiting, 3600000));
}

TEST(AdmissionPolicy, OneLimitForTheServerAndAShareForEachAddress)
{
    AdmissionRules rules;
    rules.maxClients = 3;
    rules.maxPerAddress = 2;
    AdmissionPolicy policy(rules);
    for (const char* address : {"a", "a", "a", "b", "b"}) EXPECT_TRUE(policy.arrive(address));
    EXPECT_TRUE(policy.claim("a"));
    EXPECT_TRUE(policy.claim("a"));
    EXPECT_FALSE(policy.claim("a"));  // its address has its share
    EXPECT_TRUE(policy.claim("b"));
    EXPECT_FALSE(policy.claim("b"));  // the server is full
    EXPECT_EQ(3u, policy.served());
    EXPECT_EQ(2u, policy.waiting());
    EXPECT_EQ(0u, policy.slotsFreed());
    policy.park("b");  // silent between requests: waits again
    EXPECT_EQ(1u, policy.slotsFreed());
    EXPECT_TRUE(policy.claim("b"));
    policy.leave("a", true);
    EXPECT_EQ(2u, policy.slotsFreed());
    EXPECT_TRUE(policy.claim("b"));
    // An address may keep kWaitingPerServed times its share waiting.
    for (std::size_t i = 0; i < 2 * kWaitingPerServed - 1; ++i) EXPECT_TRUE(policy.arrive("a"));
    EXPECT_FALSE(policy.arrive("a"));
    policy.leave("a", false);  // a waiting one gives no slot back
    EXPECT_EQ(2u, policy.slotsFreed());
}

// Room is made by the address holding the most (two or more), past the pauses.
TEST(AdmissionPolicy, RoomIsMadeByTheAddressHoldingTheMost)
{
    ConnectionClock asking(0), silent(0);
    asking.received(10);
    const std::string a = "a", b = "b";
    const std::vector<Occupant> all = {
        {&a, &asking, SlotState::Served}, {&a, &silent, SlotState::Waiting}, {&b, &silent, SlotState::Waiting}};
    EXPECT_EQ(1, ChooseToMakeRoom(all, kSilentPastPauseMs + 1));
    EXPECT_EQ(-1, ChooseToMakeRoom(all, kSilentPastPauseMs));
    EXPECT_EQ(-1, ChooseToMakeRoom({all[0], all[2]}, kListToFileMs));
}

TEST(ServerStats, PrometheusTextNamesEveryCounterOnce)
{
    ServerStats stats;
    stats.served = 2;
    stats.accepted = 5;
    stats.countClose(CloseReason::Idle);
    stats.countPackage("game", PackageCounts{3, 1000, 1});
    const std::string text = stats.PrometheusText();
    for (const char* line :
         {"# TYPE autoupdate_server_connections gauge\n", "autoupdate_server_connections{state=\"served\"} 2\n",
          "# TYPE autoupdate_server_accepted_total counter\n", "autoupdate_server_accepted_total 5\n",
          "autoupdate_server_closed_total{reason=\"idle_timeout\"} 1\n",
          "autoupdate_server_refused_total{reason=\"address_full\"} 0\n",
          "autoupdate_server_package_bytes_total{package=\"game\"} 1000\n"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line << text;
    }
    EXPECT_EQ(text.find("# HELP autoupdate_server_closed_total "), text.rfind("# HELP autoupdate_server_closed_total "));
    EXPECT_EQ('\n', text.back());
}

// Series by build only for builds a catalogue held; once gone, kept ten
// minutes, and eight per package at most.
TEST(ServerStats, BuildSeriesFollowTheCatalogue)
{
    ServerStats stats;
    stats.holdBuilds({{"game", "build 1", "yes"}, {"game", "build 2", "half"}}, true, 0);
    stats.countPackage("game", PackageCounts{1, 500, 1}, "build 2");
    stats.countPackage("game", PackageCounts{1, 70, 0}, "build 9");  // never held
    std::string text = stats.PrometheusText();
    for (const char* line : {"autoupdate_server_builds{package=\"game\",signed=\"half\"} 1\n",
                             "autoupdate_server_builds{package=\"game\",signed=\"no\"} 0\n",
                             "autoupdate_server_build_bytes_total{package=\"game\",build=\"build 2\"} 500\n",
                             "autoupdate_server_build_files_finished_total{package=\"game\",build=\"build 1\"} 0\n"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line << text;
    }
    EXPECT_EQ(std::string::npos, text.find("build 9")) << text;
    auto series = [&] {
        int count = 0;
        for (std::size_t at = 0; (at = text.find("_build_bytes_total{", at)) != std::string::npos; ++at) ++count;
        return count;
    };
    // Build k is gone at time k + 1.
    for (int k = 3; k <= 22; ++k) stats.holdBuilds({{"game", "build " + std::to_string(k), "no"}}, true, k);
    text = stats.PrometheusText();
    EXPECT_EQ(9, series()) << text;
    EXPECT_NE(std::string::npos, text.find("build=\"build 14\"}")) << text;
    stats.dropGoneBuilds(21 + kGoneBuildSeriesMs);
    text = stats.PrometheusText();
    EXPECT_EQ(2, series()) << text;
    EXPECT_NE(std::string::npos, text.find("build=\"build 21\"}")) << text;
}

}  // namespace
