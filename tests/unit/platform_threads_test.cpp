#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/system_error.h"
#include "platform/sync.h"

namespace {

std::atomic<int> g_bodyRuns{0};
std::atomic<bool> g_pastSleep{false};
std::atomic<bool> g_sleeping{false};

uint32_t countingBody(void* argument) {
    EXPECT_EQ(argument, nullptr);
    ++g_bodyRuns;
    return 7;
}

uint32_t sleepingBody(void*) {
    g_sleeping = true;
    for (int i = 0; i < 600; ++i) platform::sleepMs(100);
    g_pastSleep = true;
    return 0;
}

void waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag; ++i) platform::sleepMs(5);
}

TEST(PlatformThreads, StartRunsTheBodyAndTerminateReapsAFinishedThread) {
    g_bodyRuns = 0;
    uint32_t first = 0;
    uint32_t second = 0;
    platform::ThreadHandle a = platform::startThread(countingBody, &first);
    platform::ThreadHandle b = platform::startThread(countingBody, &second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    for (int i = 0; i < 1000 && g_bodyRuns < 2; ++i) platform::sleepMs(5);
    EXPECT_EQ(g_bodyRuns.load(), 2);
    EXPECT_NE(platform::terminateThread(a, first), 0);
    EXPECT_NE(platform::terminateThread(b, second), 0);
}

TEST(PlatformThreads, TerminateEndsAThreadBlockedInSleep) {
    g_sleeping = false;
    g_pastSleep = false;
    uint32_t id = 0;
    platform::ThreadHandle thread = platform::startThread(sleepingBody, &id);
    ASSERT_NE(thread, nullptr);
    waitFor(g_sleeping);
    ASSERT_TRUE(g_sleeping);
    EXPECT_NE(platform::terminateThread(thread, id), 0);
    EXPECT_FALSE(g_pastSleep);
}

TEST(PlatformThreads, WaitForThreadTellsAReturnedBodyFromARunningOne) {
    g_bodyRuns = 0;
    g_sleeping = false;
    uint32_t finishedId = 0;
    uint32_t runningId = 0;
    platform::ThreadHandle finished = platform::startThread(countingBody, &finishedId);
    platform::ThreadHandle running = platform::startThread(sleepingBody, &runningId);
    ASSERT_NE(finished, nullptr);
    ASSERT_NE(running, nullptr);
    EXPECT_TRUE(platform::waitForThread(finished, 5000));
    EXPECT_EQ(g_bodyRuns.load(), 1);
    waitFor(g_sleeping);
    EXPECT_FALSE(platform::waitForThread(running, 20));
    EXPECT_FALSE(platform::waitForThread(nullptr, 20));
    EXPECT_NE(platform::terminateThread(finished, finishedId), 0);
    EXPECT_NE(platform::terminateThread(running, runningId), 0);
}

platform::ThreadHandle g_recorded = nullptr;
std::atomic<bool> g_sawItsHandle{false};
std::atomic<bool> g_inHandlerOfItself{false};
std::atomic<bool> g_release{false};
std::atomic<bool> g_finishedAfterRelease{false};

uint32_t checksItsRecord(void*) {
    g_sawItsHandle = g_recorded != nullptr;
    g_inHandlerOfItself = platform::inHandlerOf(g_recorded);
    return 0;
}

uint32_t waitsToBeReleased(void*) {
    while (!g_release) platform::sleepMs(2);
    platform::sleepMs(20);
    g_finishedAfterRelease = true;
    return 0;
}

TEST(PlatformThreads, TheHandleIsRecordedBeforeTheBodyRunsAndOnlyItsOwnThreadIsInItsHandler) {
    // Many starts, since a missing record shows only when the new thread wins the race.
    for (int i = 0; i < 50; ++i) {
        g_recorded = nullptr;
        g_sawItsHandle = false;
        g_inHandlerOfItself = false;
        uint32_t id = 0;
        platform::ThreadHandle thread = platform::startThread(checksItsRecord, &id, &g_recorded);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(thread, g_recorded);
        ASSERT_TRUE(platform::waitForThread(thread, 5000));
        EXPECT_TRUE(g_sawItsHandle) << i;
        EXPECT_TRUE(g_inHandlerOfItself) << i;
        EXPECT_FALSE(platform::inHandlerOf(thread));
        platform::releaseThread(thread);
    }
    EXPECT_FALSE(platform::inHandlerOf(nullptr));
}

TEST(PlatformThreads, ReleaseLetsARunningThreadFinishUndisturbed) {
    g_release = false;
    g_finishedAfterRelease = false;
    uint32_t id = 0;
    platform::ThreadHandle thread = platform::startThread(waitsToBeReleased, &id);
    ASSERT_NE(thread, nullptr);
    platform::releaseThread(thread);
    g_release = true;
    for (int i = 0; i < 1000 && !g_finishedAfterRelease; ++i) platform::sleepMs(5);
    EXPECT_TRUE(g_finishedAfterRelease);
}

struct Handoff {
    platform::Mutex mutex;
    platform::Condition ready;
    int produced = 0;
};

TEST(PlatformThreads, AThreadStartedWithAnArgumentSignalsACondition) {
    Handoff handoff;
    platform::MutexLock lock(handoff.mutex);
    EXPECT_FALSE(handoff.ready.wait(handoff.mutex, 20));
    platform::ThreadHandle thread = platform::startThreadWith([](void* argument) -> uint32_t {
        auto* handoff = static_cast<Handoff*>(argument);
        for (int i = 0; i < 50; ++i) {
            platform::MutexLock lock(handoff->mutex);
            ++handoff->produced;
            handoff->ready.wakeAll();
        }
        return 0;
    }, &handoff);
    ASSERT_NE(thread, nullptr);
    for (int i = 0; i < 100 && handoff.produced < 50; ++i) handoff.ready.wait(handoff.mutex, 100);
    EXPECT_EQ(handoff.produced, 50);
    EXPECT_TRUE(platform::waitForThread(thread, 5000));
    platform::releaseThread(thread);
}

TEST(PlatformThreads, TerminateOfNoThreadFails) {
    EXPECT_EQ(platform::terminateThread(nullptr, 0), 0);
}

std::atomic<int> g_fakeTicks{0};
std::vector<uint32_t> g_fakeSleeps;

uint32_t fakeTick() {
    return static_cast<uint32_t>(g_fakeTicks.load());
}

void fakeSleep(uint32_t milliseconds) {
    g_fakeSleeps.push_back(milliseconds);
    g_fakeTicks += static_cast<int>(milliseconds);
}

TEST(PlatformClock, HooksReplaceTickAndSleepUntilRestored) {
    g_fakeTicks = 1000;
    g_fakeSleeps.clear();
    platform::ClockHooks hooks{fakeTick, fakeSleep};
    platform::setClockForTests(&hooks);
    EXPECT_EQ(platform::tickCount(), 1000u);
    platform::sleepMs(2400);
    EXPECT_EQ(platform::tickCount(), 3400u);
    platform::setClockForTests(nullptr);

    ASSERT_EQ(g_fakeSleeps.size(), 1u);
    EXPECT_EQ(g_fakeSleeps[0], 2400u);
    uint32_t before = platform::tickCount();
    platform::sleepMs(30);
    uint32_t after = platform::tickCount();
    EXPECT_GE(static_cast<uint32_t>(after - before), 30u);
    EXPECT_EQ(g_fakeSleeps.size(), 1u);
}

std::atomic<uint32_t> g_otherThreadError{0};

uint32_t failInOtherThread(void*) {
    platform::deleteFile("/nonexistent-dir-for-platform-test/file");
    g_otherThreadError = platform::lastError();
    return 0;
}

TEST(PlatformErrors, LastErrorBelongsToTheCallingThread) {
    char pattern[] = "/tmp/platform_errors_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    EXPECT_FALSE(platform::createDirectory(pattern));
    EXPECT_EQ(platform::lastError(), 183u);

    uint32_t id = 0;
    platform::ThreadHandle thread = platform::startThread(failInOtherThread, &id);
    ASSERT_NE(thread, nullptr);
    for (int i = 0; i < 1000 && g_otherThreadError == 0; ++i) platform::sleepMs(5);
    EXPECT_EQ(g_otherThreadError.load(), 2u);
    EXPECT_EQ(platform::lastError(), 183u);
    platform::terminateThread(thread, id);
    rmdir(pattern);
}

TEST(PlatformErrors, ErrnoBecomesTheWindowsCodeTheHostIsSent) {
    using platform::posix::translateErrno;
    const std::pair<int, uint32_t> expected[] = {
        {ENOENT, 2},          {EACCES, 5},          {EPERM, 5},           {EEXIST, 183},
        {ENOSPC, 112},        {EBADF, 6},           {EINVAL, 87},         {EMFILE, 4},
        {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},  {ECONNRESET, 10054},  {ENOTCONN, 10057},
        {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065}, {EPIPE, 10058},
    };
    for (const auto& pair : expected) EXPECT_EQ(translateErrno(pair.first), pair.second) << pair.first;
    // Anything unlisted still reads as a failure, never as success.
    EXPECT_EQ(translateErrno(ENOTRECOVERABLE), 31u);
}

}  // namespace
