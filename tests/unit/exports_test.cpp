// AutoUpdate's checks and normalisation, and EndUpdate's bounded wait, at the
// seams: the host executable path and the clock are replaced, workers are
// stand-in threads that behave like the real one at a stop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "autoupdate.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace fs = std::filesystem;

namespace {

struct Message {
    unsigned msg;
    uintptr_t wParam;
    intptr_t lParam;
};

struct RecordingHost {
    AutoUpdateHost host{};
    std::mutex mutex;
    std::vector<Message> messages;

    RecordingHost() {
        host.message = [](AutoUpdateHost* self, unsigned msg, uintptr_t w, intptr_t l) -> intptr_t {
            auto* recorder = static_cast<RecordingHost*>(self->context);
            std::lock_guard<std::mutex> lock(recorder->mutex);
            recorder->messages.push_back({msg, w, l});
            return 0;
        };
        host.context = this;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
};

std::atomic<int> g_sleepCalls{0};
std::atomic<uint32_t> g_sleptMs{0};
std::atomic<bool> g_sleepForReal{false};

void countingSleep(uint32_t ms) {
    ++g_sleepCalls;
    g_sleptMs += ms;
    if (g_sleepForReal) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
uint32_t fixedTick() { return 1000; }
const platform::ClockHooks kCountingClock{fixedTick, countingSleep};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Worker stand-ins. They sleep through the C++ library so that the forced end
// still finds a blocking call while the test clock makes platform sleeps free.
void idle() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

uint32_t guardedForever(void*) {
    g_RunState.inNotify = 1;
    for (;;) idle();
}
uint32_t neverReacts(void*) {
    for (;;) idle();
}
uint32_t acknowledges(void*) {
    while (g_RunState.stopRequested != 1) idle();
    g_RunState.stopRequested = 0;
    for (;;) idle();
}
uint32_t finishesAtOnce(void*) {
    g_RunState.workerFinished = 1;
    return 0;
}
uint32_t notifiesForever(void*) {
    for (;;) {
        notifyHost(AU_MSG_STATUS, AU_STATUS_SPEED, 1);
        idle();
    }
}

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRunState();
        previous_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("exports_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
        g_sleepCalls = 0;
        g_sleptMs = 0;
        g_sleepForReal = false;
    }
    void TearDown() override {
        if (g_RunState.workerThread) EndUpdate();
        platform::setClockForTests(nullptr);
        platform::setHostExecutablePathForTests(nullptr);
        fs::current_path(previous_);
        fs::remove_all(dir_);
        resetRunState();
    }

    // A host executable path without a directory refuses the run only after
    // the arguments have been stored, so the stored forms can be read.
    int32_t runUntilHostPathCheck(const char* server, const char* directory, const char* digest,
                                  const char* name) {
        platform::setHostExecutablePathForTests("launcher");
        return AutoUpdate(&host_.host, server, directory, digest, name);
    }

    void startStandIn(platform::ThreadBody body) {
        g_RunState.workerFinished = 0;
        g_RunState.workerThread = platform::startThread(body, &g_RunState.workerThreadId);
        ASSERT_NE(g_RunState.workerThread, nullptr);
    }

    fs::path previous_;
    fs::path dir_;
    RecordingHost host_;
};

TEST_F(ExportsTest, NullDirectoryOrNameIsRefusedWithoutTrace) {
    g_RunState.stopRequested = 1;
    EXPECT_EQ(AutoUpdate(&host_.host, "127.0.0.1", nullptr, "", "game"), 0);
    EXPECT_EQ(g_RunState.stopRequested, 0);
    EXPECT_EQ(AutoUpdate(&host_.host, "127.0.0.1", "game", "", nullptr), 0);
    EXPECT_FALSE(fs::exists(dir_ / "game"));
    EXPECT_EQ(host_.count(), 0u);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
}

TEST_F(ExportsTest, TwoCharacterDirectoryIsRefusedAfterTheFirstLogLine) {
    fs::create_directory(dir_ / "ab");
    EXPECT_EQ(AutoUpdate(&host_.host, nullptr, "ab", "", "game"), 0);
    const std::string log = readFile(dir_ / "ab" / "autoupdatelog.txt");
    // "下载game,当前目录为:ab" in code page 936, as the first numbered line.
    EXPECT_NE(log.find("]\xCF\xC2\xD4\xD8game,\xB5\xB1\xC7\xB0\xC4\xBF\xC2\xBC\xCE\xAA:ab\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[    1]"), std::string::npos);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
    EXPECT_EQ(host_.count(), 0u);
}

TEST_F(ExportsTest, DirectoryOfSeparatorsOnlyIsRefusedSilently) {
    const bool hadRootLog = fs::exists("/autoupdatelog.txt");
    EXPECT_EQ(AutoUpdate(&host_.host, nullptr, "///", "", "game"), 0);
    EXPECT_STREQ(g_RunState.gameDir, "\\\\");
    EXPECT_EQ(g_RunState.workerThread, nullptr);
    EXPECT_EQ(host_.count(), 0u);
    // The log of "///" lands in the root folder, as it would on the drive.
    if (!hadRootLog) fs::remove("/autoupdatelog.txt");
}

TEST_F(ExportsTest, HostPathWithoutDirectorySendsFifty) {
    fs::create_directory(dir_ / "game");
    EXPECT_EQ(runUntilHostPathCheck("127.0.0.1", "game", "", "patch"), 0);
    ASSERT_EQ(host_.count(), 1u);
    EXPECT_EQ(host_.messages[0].msg, AU_MSG_STATUS);
    EXPECT_EQ(host_.messages[0].wParam, static_cast<uintptr_t>(AU_STATUS_ERROR));
    EXPECT_EQ(host_.messages[0].lParam, AU_ERR_HOST_PATH);
    const std::string log = readFile(dir_ / "game" / "autoupdatelog.txt");
    EXPECT_NE(log.find("]\xC2\xB7\xBE\xB6\xCE\xAA,,\r\n"), std::string::npos) << log;  // 路径为,,
    EXPECT_EQ(g_RunState.workerThread, nullptr);
}

TEST_F(ExportsTest, ArgumentsAreNormalised) {
    runUntilHostPathCheck("ip=10.0.0.1:38432", "C:/Games/X/", "abc", "patch");
    EXPECT_STREQ(g_RunState.gameDir, "C:\\Games\\X");
    EXPECT_STREQ(g_RunState.preferredServerIp, "10.0.0.138432");
    EXPECT_STREQ(g_RunState.packageDigest, "abc");

    runUntilHostPathCheck(nullptr, "C:/Games/X//", "abc", "patch");
    EXPECT_STREQ(g_RunState.gameDir, "C:\\Games\\X\\");
    EXPECT_STREQ(g_RunState.preferredServerIp, "");
}

// 誠 is D5 5C in code page 936: its second byte is no separator to cut.
TEST_F(ExportsTest, TrailingSeparatorIsFoundByCharacterNotByByte) {
    runUntilHostPathCheck(nullptr, "C:/Games/\xD5\x5C", "", "patch");
    EXPECT_STREQ(g_RunState.gameDir, "C:\\Games\\\xD5\x5C");
    runUntilHostPathCheck(nullptr, "C:/Games/\xD5\x5C/", "", "patch");
    EXPECT_STREQ(g_RunState.gameDir, "C:\\Games\\\xD5\x5C");
    runUntilHostPathCheck(nullptr, "C:\\Games\\\xD5\x5C\\", "", "patch");
    EXPECT_STREQ(g_RunState.gameDir, "C:\\Games\\\xD5\x5C");
}

TEST_F(ExportsTest, OverLongArgumentsAreRefusedOrCut) {
    const std::string longDirectory(300, 'd');
    const std::string longName(300, 'n');
    EXPECT_EQ(AutoUpdate(&host_.host, nullptr, longDirectory.c_str(), "", "patch"), 0);
    EXPECT_EQ(AutoUpdate(&host_.host, nullptr, "game", "", longName.c_str()), 0);
    // Directory and name together must leave room for the staging paths.
    EXPECT_EQ(AutoUpdate(&host_.host, nullptr, std::string(200, 'd').c_str(), "",
                         std::string(41, 'n').c_str()),
              0);
    EXPECT_EQ(host_.count(), 0u);

    const std::string longDigest(100, 'f');
    const std::string longServer(400, '7');
    runUntilHostPathCheck(longServer.c_str(), "game", longDigest.c_str(), "patch");
    EXPECT_EQ(std::strlen(g_RunState.packageDigest), sizeof g_RunState.packageDigest - 1);
    EXPECT_EQ(std::strlen(g_RunState.preferredServerIp), sizeof g_RunState.preferredServerIp - 1);

    runUntilHostPathCheck(nullptr, "game", nullptr, "patch");
    EXPECT_STREQ(g_RunState.packageDigest, "");
}

TEST_F(ExportsTest, EndUpdateWithoutWorkerKeepsTheWindow) {
    g_RunState.hostWindow = &host_.host;
    EXPECT_EQ(EndUpdate(), 0);
    EXPECT_EQ(g_RunState.hostWindow.load(), static_cast<void*>(&host_.host));
    EXPECT_EQ(g_RunState.stopRequested, 0);
}

TEST_F(ExportsTest, EndUpdateDoesNotWaitDuringAGuardedNotification) {
    startStandIn(guardedForever);
    while (!g_RunState.inNotify) idle();
    platform::setClockForTests(&kCountingClock);
    EXPECT_NE(EndUpdate(), 0);
    EXPECT_EQ(g_sleepCalls, 0);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
    EXPECT_EQ(g_RunState.hostWindow.load(), nullptr);
    EXPECT_EQ(g_RunState.stopRequested, 1);
    EXPECT_EQ(EndUpdate(), 0);
}

TEST_F(ExportsTest, EndUpdateWaitsFortyStepsForAWorkerThatNeverReacts) {
    startStandIn(neverReacts);
    platform::setClockForTests(&kCountingClock);
    EXPECT_NE(EndUpdate(), 0);
    EXPECT_EQ(g_sleepCalls, 40);
    EXPECT_EQ(g_sleptMs, 4000u);
}

TEST_F(ExportsTest, EndUpdateStopsWaitingWhenTheWorkerAcknowledges) {
    startStandIn(acknowledges);
    g_sleepForReal = true;
    platform::setClockForTests(&kCountingClock);
    EXPECT_NE(EndUpdate(), 0);
    EXPECT_LT(g_sleepCalls, 40);
    EXPECT_EQ(g_RunState.stopRequested, 0);
}

TEST_F(ExportsTest, EndUpdateStillEndsAWorkerThatHasFinished) {
    startStandIn(finishesAtOnce);
    while (!g_RunState.workerFinished) idle();
    platform::setClockForTests(&kCountingClock);
    EXPECT_NE(EndUpdate(), 0);
    EXPECT_EQ(g_sleepCalls, 0);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
}

TEST_F(ExportsTest, NoMessageReachesTheHostAfterEndUpdate) {
    g_RunState.hostWindow = &host_.host;
    startStandIn(notifiesForever);
    while (host_.count() < 3) idle();
    platform::setClockForTests(&kCountingClock);
    EndUpdate();
    const std::size_t seen = host_.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host_.count(), seen);
}

TEST_F(ExportsTest, ASecondRunIsRefusedWhileTheFirstWorkerLives) {
    startStandIn(neverReacts);
    EXPECT_EQ(AutoUpdate(&host_.host, nullptr, "game", "", "patch"), 0);
    EXPECT_NE(g_RunState.workerThread, nullptr);
    platform::setClockForTests(&kCountingClock);
}

}  // namespace
