// AutoUpdate's checks and normalisation, and EndUpdate's bounded wait, at the
// seams: the host executable path and the clock are replaced, workers are
// stand-in threads that behave like the real one at a stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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
std::atomic<bool> g_acknowledged{false};

uint32_t acknowledgesButStays(void*) {
    while (g_RunState.stopRequested != 1) idle();
    g_RunState.stopRequested = 0;
    g_acknowledged = true;
    for (;;) idle();
}

// Counts like countingSleep, but the first step lasts until the stand-in has
// acknowledged, so that the acknowledgement falls inside the wait.
void sleepPastTheAcknowledgement(uint32_t ms) {
    g_sleptMs += ms;
    for (int i = 0; i < 5000 && !g_acknowledged; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Set by a stand-in on its last line: it left by itself, not ended forcibly.
std::atomic<bool> g_leftByItself{false};
std::atomic<int> g_rounds{0};

// Like the real worker: the stop test raises workerFinished and lowers the
// request, and there is still work to do before the thread is gone.
uint32_t acknowledgesThenCleansUp(void*) {
    while (g_RunState.stopRequested != 1) idle();
    g_RunState.workerFinished = 1;
    g_RunState.stopRequested = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    g_leftByItself = true;
    return 0;
}
uint32_t countsRounds(void*) {
    for (;;) {
        ++g_rounds;
        idle();
    }
}
uint32_t sendsTwoFileMessagesWithAStopTest(void*) {
    notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_FILE, 0);
    if (g_RunState.stopRequested) {
        g_RunState.workerFinished = 1;
        g_RunState.stopRequested = 0;
        g_leftByItself = true;
        return 0;
    }
    notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_FILE, 0);
    g_RunState.workerFinished = 1;
    return 0;
}
uint32_t reportsCompleteAndLeaves(void*) {
    g_RunState.workerFinished = 1;
    notifyHost(AU_MSG_STATUS, AU_STATUS_FINAL, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_leftByItself = true;
    return 0;
}
uint32_t finishesAtOnce(void*) {
    g_RunState.workerFinished = 1;
    return 0;
}
// Waits in recv on g_Socket for a server that never answers, as a worker
// does on a stalled connection.
uint32_t blockedInRecv(void*) {
    char byte;
    platform::receiveBytes(g_Socket, &byte, 1);
    if (g_RunState.stopRequested) {
        g_RunState.workerFinished = 1;
        g_RunState.stopRequested = 0;
    }
    platform::closeSocket(g_Socket.exchange(0));
    g_leftByItself = true;
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
        g_leftByItself = false;
        g_rounds = 0;
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
        platform::startThread(body, &g_RunState.workerThreadId, &g_RunState.workerThread);
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

    for (const char* name : {"update.example.org", "::1", "localhost"}) {
        runUntilHostPathCheck(name, "game", "", "patch");
        EXPECT_STREQ(g_RunState.preferredServerIp, name);
    }
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

TEST_F(ExportsTest, EndUpdateWaitsForAWorkerInAGuardedNotificationToLeave) {
    // The host's handler is slow: EndUpdate starts while it runs and must
    // neither end the worker inside it nor return before the worker is gone.
    struct SlowHost {
        AutoUpdateHost host{};
        std::atomic<bool> inside{false};
        std::atomic<int> handled{0};
    } slow;
    slow.host.message = [](AutoUpdateHost* self, unsigned, uintptr_t, intptr_t) -> intptr_t {
        auto* me = reinterpret_cast<SlowHost*>(self);
        me->inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ++me->handled;
        return 0;
    };
    g_RunState.hostWindow = &slow.host;
    startStandIn(sendsTwoFileMessagesWithAStopTest);
    while (!slow.inside) idle();
    EXPECT_EQ(EndUpdate(), 1);
    EXPECT_TRUE(g_leftByItself);
    EXPECT_EQ(slow.handled, 1);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
    EXPECT_EQ(g_RunState.hostWindow.load(), nullptr);
    EXPECT_EQ(EndUpdate(), 0);
}

TEST_F(ExportsTest, EndUpdateEndsAWorkerThatNeverLeavesAfterFortyStepsOfAHundredMs) {
    startStandIn(countsRounds);
    platform::setClockForTests(&kCountingClock);
    EXPECT_NE(EndUpdate(), 0);
    EXPECT_EQ(g_sleptMs, 4000u);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
    // Ended at its next blocking call, however late a busy machine lets it come.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int rounds = g_rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_rounds, rounds);
}

TEST_F(ExportsTest, AnAcknowledgementAloneDoesNotEndTheWait) {
    g_acknowledged = false;
    startStandIn(acknowledgesButStays);
    const platform::ClockHooks clock{fixedTick, sleepPastTheAcknowledgement};
    platform::setClockForTests(&clock);
    EXPECT_NE(EndUpdate(), 0);
    EXPECT_EQ(g_sleptMs, 4000u);
    EXPECT_EQ(g_RunState.stopRequested, 0);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
}

TEST_F(ExportsTest, EndUpdateReturnsOnceTheWorkerHasLeftItsThread) {
    // workerFinished goes up at the acknowledgement, well before the thread
    // is gone: EndUpdate waits for the thread itself.
    startStandIn(acknowledgesThenCleansUp);
    EXPECT_EQ(EndUpdate(), 1);
    EXPECT_TRUE(g_leftByItself);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
}

TEST_F(ExportsTest, EndUpdateUnblocksAWorkerWaitingOnASilentServer) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    g_Socket = platform::openStreamSocket();
    ASSERT_TRUE(platform::connectSocket(g_Socket, "127.0.0.1", ntohs(address.sin_port)));

    startStandIn(blockedInRecv);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(EndUpdate(), 1);
    EXPECT_TRUE(g_leftByItself);
    EXPECT_EQ(g_Socket.load(), 0u);
    ::close(listener);
}

TEST_F(ExportsTest, EndUpdateFromAHandlerReturnsAtOnceAndTheWorkerLeavesAtItsStopTest) {
    struct EndingHost {
        AutoUpdateHost host{};
        std::atomic<int> calls{0};
        std::atomic<int32_t> result{-1};
        std::atomic<bool> stillRecorded{false};
    } ending;
    ending.host.message = [](AutoUpdateHost* self, unsigned, uintptr_t, intptr_t) -> intptr_t {
        auto* me = reinterpret_cast<EndingHost*>(self);
        if (++me->calls == 1) {
            me->result = EndUpdate();
            me->stillRecorded = g_RunState.workerThread != nullptr;
        }
        return 0;
    };
    g_RunState.hostWindow = &ending.host;
    platform::setClockForTests(&kCountingClock);
    g_sleepForReal = true;
    startStandIn(sendsTwoFileMessagesWithAStopTest);
    for (int i = 0; i < 2000 && !g_leftByItself; ++i) idle();

    EXPECT_TRUE(g_leftByItself);
    EXPECT_EQ(ending.calls, 1);
    EXPECT_EQ(ending.result, 1);
    EXPECT_EQ(g_sleptMs, 0u);
    // The thread is taken back by the next EndUpdate outside the handler.
    EXPECT_TRUE(ending.stillRecorded);
    EXPECT_EQ(EndUpdate(), 1);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
    EXPECT_EQ(EndUpdate(), 0);
}

TEST_F(ExportsTest, AutoUpdateFromAHandlerIsRefusedAndTheNextCallStartsAfresh) {
    fs::create_directory(dir_ / "game");
    struct StartingHost {
        AutoUpdateHost host{};
        std::atomic<int32_t> result{-1};
        std::atomic<int> calls{0};
    } starting;
    starting.host.message = [](AutoUpdateHost* self, unsigned, uintptr_t, intptr_t) -> intptr_t {
        auto* me = reinterpret_cast<StartingHost*>(self);
        ++me->calls;
        me->result = AutoUpdate(self, nullptr, "game", "", "patch");
        return 0;
    };
    g_RunState.hostWindow = &starting.host;
    std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", "earlier");
    startStandIn(reportsCompleteAndLeaves);
    for (int i = 0; i < 2000 && !g_leftByItself; ++i) idle();

    ASSERT_EQ(starting.calls, 1);
    EXPECT_EQ(starting.result, 0);
    // Refused before anything of the finishing run was touched.
    EXPECT_STREQ(g_RunState.gameDir, "earlier");
    EXPECT_EQ(g_RunState.hostWindow.load(), static_cast<void*>(&starting.host));

    // Outside the handler, without EndUpdate, the left thread is taken back.
    EXPECT_EQ(runUntilHostPathCheck(nullptr, "game", "", "patch"), 0);
    EXPECT_EQ(host_.count(), 1u);  // 11111/6/50: the run got past the guard
    EXPECT_EQ(g_RunState.workerThread, nullptr);
}

TEST_F(ExportsTest, AutoUpdateWaitsForAWorkerOnItsWayOut) {
    fs::create_directory(dir_ / "game");
    startStandIn(reportsCompleteAndLeaves);
    while (!g_RunState.workerFinished) idle();
    EXPECT_EQ(runUntilHostPathCheck(nullptr, "game", "", "patch"), 0);
    EXPECT_TRUE(g_leftByItself);
    EXPECT_EQ(host_.count(), 1u);
    EXPECT_EQ(g_RunState.workerThread, nullptr);
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
