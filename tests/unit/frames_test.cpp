#include "net/frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_server.h"
#include "run/run_state.h"

namespace {

using fake::Bytes;
using fake::Message;

TEST(RequestFrames, PackageRequestIsByteExact) {
    uint8_t frame[kPackageRequestSize];
    std::memset(frame, 0xAA, sizeof frame);
    buildPackageRequest(frame, "client");

    Bytes expected(114, 0);
    expected[0] = 112;  // buffsize, little-endian
    expected[2] = 32;   // code
    expected[6] = 1;
    std::memcpy(expected.data() + 12, "client", 6);
    EXPECT_EQ(Bytes(frame, frame + sizeof frame), expected);
}

TEST(RequestFrames, PackageNameIsCutTo99BytesWithoutTerminator) {
    std::string name(120, 'n');
    name[98] = 'L';   // last byte that fits
    name[99] = 'X';   // first byte that does not
    uint8_t frame[kPackageRequestSize];
    buildPackageRequest(frame, name.c_str());

    EXPECT_EQ(std::string(reinterpret_cast<char*>(frame + 12), 99), name.substr(0, 99));
    EXPECT_EQ(frame[110], 'L');
    EXPECT_EQ(frame[111], 0);
    EXPECT_EQ(frame[112], 0);
    EXPECT_EQ(frame[113], 0);

    // 98 bytes still get their terminating zero in the field.
    buildPackageRequest(frame, name.substr(0, 98).c_str());
    EXPECT_EQ(frame[12 + 97], 'n');
    EXPECT_EQ(frame[12 + 98], 0);
}

TEST(RequestFrames, FileRequestIsByteExactLittleEndian) {
    uint8_t frame[kFileRequestSize];
    buildFileRequest(frame, 0xBEEF, 0x1234, 0x89ABCDEF);
    const uint8_t expected[20] = {18, 0,    34,   0,    0,    0,    1,    0,    0,    0,
                                  0,  0,    0xEF, 0xBE, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89};
    EXPECT_EQ(Bytes(frame, frame + 20), Bytes(expected, expected + 20));
}

class ReceiveFrame : public ::testing::Test {
protected:
    fake::Run run;
};

TEST_F(ReceiveFrame, AssemblesAFrameDeliveredOneBytePerWrite) {
    Bytes body;
    for (int i = 0; i < 12; ++i) body.push_back(static_cast<uint8_t>(0xF4 + i));  // 0xF4 .. 0xFF, 0x00 ..
    Bytes reply = fake::frame(body);
    fake::Server server([&](fake::Connection& c) { c.writeByteByByte(reply); c.clientClosed(); });
    fake::Run::connectTo(server.port());

    ASSERT_TRUE(receiveFrame());
    EXPECT_EQ(replyBuffsize(), 12);
    EXPECT_EQ(Bytes(g_RunState.receiveBuffer, g_RunState.receiveBuffer + reply.size()), reply);
    EXPECT_EQ(g_RunState.receiveBuffer[reply.size()], 0);
    EXPECT_NE(g_Socket, 0u);

    // Upper-case hex, one blank after each, only the first ten body bytes.
    std::string expected = std::string("接收到数据大小为12,头几个数据为") +
                           "0xF4 0xF5 0xF6 0xF7 0xF8 0xF9 0xFA 0xFB 0xFC 0xFD \r\n";
    EXPECT_EQ(fake::count(run.log(), expected), 1) << run.log();
    // The frame's pause is owed to the next request, not slept here.
    EXPECT_TRUE(fake::sleeps().empty());
    EXPECT_EQ(g_RunState.pauseOwed, 1);
}

// The pause runs from the frame's arrival: what the client does meanwhile
// shortens it, the next request never goes out sooner, and a connection that
// is gone is owed nothing.
TEST_F(ReceiveFrame, PauseRunsFromTheFrameUntilTheNextRequest) {
    fake::Server server([&](fake::Connection& c) {
        for (int i = 0; i < 3; ++i) {
            c.write(fake::frame({1, 2, 3}));
            Bytes request;
            if (!c.read(&request, 4)) return;
        }
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());
    const uint8_t request[4] = {9, 9, 9, 9};

    fake::tick() = 1000;
    ASSERT_TRUE(receiveFrame());
    fake::tick() = 1002;  // 2 ms of work on the chunk
    ASSERT_EQ(sendOnLink(request, 4), 4);
    EXPECT_EQ(fake::sleeps(), std::vector<uint32_t>{3});
    ASSERT_EQ(sendOnLink(request, 0), 0);  // a pause is owed once
    EXPECT_EQ(fake::sleeps().size(), 1u);

    ASSERT_TRUE(receiveFrame());
    fake::tick() = 1009;  // the work outlasted the pause
    ASSERT_EQ(sendOnLink(request, 4), 4);
    EXPECT_EQ(fake::sleeps().size(), 1u);

    ASSERT_TRUE(receiveFrame());
    dropLink(0);
    EXPECT_EQ(g_RunState.pauseOwed, 0);
    EXPECT_EQ(fake::sleeps().size(), 1u);
}

TEST_F(ReceiveFrame, ShortBodyIsLoggedWhole) {
    fake::Server server([&](fake::Connection& c) { c.write(fake::frame({0x80, 0x0A, 0xFF})); c.clientClosed(); });
    fake::Run::connectTo(server.port());
    ASSERT_TRUE(receiveFrame());
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为3,头几个数据为0x80 0x0A 0xFF \r\n"), 1) << run.log();
}

TEST_F(ReceiveFrame, EmptyFrameIsCompleteAfterItsLengthBytes) {
    fake::Server server([&](fake::Connection& c) { c.writeByteByByte({0, 0}); c.clientClosed(); });
    fake::Run::connectTo(server.port());
    g_RunState.receiveBuffer[5] = 0x77;  // cleared before the read

    ASSERT_TRUE(receiveFrame());
    EXPECT_EQ(replyBuffsize(), 0);
    EXPECT_EQ(g_RunState.receiveBuffer[5], 0);
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为0,头几个数据为\r\n"), 1) << run.log();
}

TEST_F(ReceiveFrame, LargestFittingFrameIsAcceptedAndOneMoreIsRefused) {
    Bytes fits(kMaxReplyBody, 0x5A);
    Bytes tooBig(kMaxReplyBody + 1, 0x5A);
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        c.write(fake::frame(fits));
        if (c.read(&request, 1)) c.write(fake::frame(tooBig));
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());

    ASSERT_TRUE(receiveFrame());
    EXPECT_EQ(replyBuffsize(), kMaxReplyBody);
    EXPECT_EQ(g_RunState.receiveBuffer[kReceiveBufferSize - 1], 0x5A);

    const uint8_t next = 1;
    ASSERT_EQ(platform::sendBytes(g_Socket, &next, 1), 1);
    g_RunState.inNotify = 1;
    EXPECT_FALSE(receiveFrame());
    EXPECT_EQ(g_Socket, 0u);
    EXPECT_EQ(g_RunState.inNotify, 0);
    EXPECT_EQ(fake::count(run.log(), "socket接收失败g_Socket为0"), 1) << run.log();
}

TEST_F(ReceiveFrame, ServerClosingEndsTheReadLikeAFailure) {
    fake::Server server([&](fake::Connection& c) { c.writeByteByByte({5, 0, 1}); });
    fake::Run::connectTo(server.port());
    g_RunState.inNotify = 1;

    EXPECT_FALSE(receiveFrame());
    EXPECT_EQ(g_Socket, 0u);
    EXPECT_EQ(g_RunState.inNotify, 0);
    EXPECT_EQ(fake::count(run.log(), "socket接收失败g_Socket为0"), 1);
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为"), 0);

    // No socket: false at once, nothing more logged.
    EXPECT_FALSE(receiveFrame());
    EXPECT_EQ(fake::count(run.log(), "socket接收失败g_Socket为0"), 1);
}

TEST_F(ReceiveFrame, StopRequestReturnsFalseAndKeepsTheSocket) {
    fake::Server server([&](fake::Connection& c) { c.write(fake::frame({1})); c.clientClosed(); });
    fake::Run::connectTo(server.port());
    platform::Socket socket = g_Socket;
    g_RunState.stopRequested = 1;
    EXPECT_FALSE(receiveFrame());
    EXPECT_EQ(g_Socket, socket);
    EXPECT_TRUE(fake::messages().empty());
}

// The link seam: reads come from a script of byte runs, each read taking
// the fake clock forward by stepMs first and noting the wait it was given.
struct ScriptedLink {
    static ScriptedLink*& current() {
        static ScriptedLink* link = nullptr;
        return link;
    }
    std::vector<Bytes> reads;
    std::size_t next = 0;
    uint32_t stepMs = 0;
    std::vector<uint32_t> waits;
    Bytes sent;

    static int send(const uint8_t* data, int length) {
        current()->sent.insert(current()->sent.end(), data, data + length);
        return length;
    }
    static int receive(uint8_t* data, int length, uint32_t waitMs) {
        ScriptedLink& link = *current();
        link.waits.push_back(waitMs);
        fake::tick() += link.stepMs;
        if (link.next == link.reads.size()) return 0;
        const Bytes& run = link.reads[link.next++];
        int count = std::min(length, static_cast<int>(run.size()));
        std::memcpy(data, run.data(), static_cast<std::size_t>(count));
        return count;
    }
};

class ScriptedReceiveFrame : public ::testing::Test {
protected:
    fake::Run run;
    ScriptedLink link;
    const LinkHooks hooks{ScriptedLink::send, ScriptedLink::receive};

    void SetUp() override {
        ScriptedLink::current() = &link;
        setLinkForTests(&hooks);
        g_Socket = 12345;  // never handed to the OS while the seam is in place
    }
    void TearDown() override {
        setLinkForTests(nullptr);
        g_Socket = 0;
    }

    void trickle(const Bytes& frame) {
        for (uint8_t byte : frame) link.reads.push_back({byte});
    }
};

TEST_F(ScriptedReceiveFrame, TrickleWithinTheDeadlineIsAssembled) {
    trickle(fake::frame({1, 2, 3, 4}));
    link.stepMs = kFrameDeadlineMs / 6 - 1;  // six reads take just under the deadline
    ASSERT_TRUE(receiveFrame());
    EXPECT_EQ(replyBuffsize(), 4);
    EXPECT_EQ(g_RunState.receiveBuffer[5], 4);
    // Each read may wait only for what is left of the frame's time.
    ASSERT_EQ(link.waits.size(), 6u);
    for (std::size_t i = 0; i < link.waits.size(); ++i) {
        EXPECT_EQ(link.waits[i], kFrameDeadlineMs - i * link.stepMs) << i;
    }
}

TEST_F(ScriptedReceiveFrame, TrickleThatOutlastsTheDeadlineFailsLikeATimedOutRead) {
    trickle(fake::frame(Bytes(100, 0x41)));
    link.stepMs = 20000;  // one byte every 20 s
    g_RunState.inNotify = 1;
    EXPECT_FALSE(receiveFrame());
    EXPECT_EQ(link.waits.size(), 3u);
    EXPECT_EQ(g_Socket, 0u);
    EXPECT_EQ(g_RunState.inNotify, 0);
    EXPECT_EQ(fake::count(run.log(), "socket接收失败g_Socket为010060"), 1) << run.log();
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为"), 0);
}

TEST_F(ScriptedReceiveFrame, DeadlineStartsAfreshForEveryFrame) {
    trickle(fake::frame({7}));
    trickle(fake::frame({8}));
    link.stepMs = kFrameDeadlineMs / 4;
    ASSERT_TRUE(receiveFrame());
    ASSERT_TRUE(receiveFrame());
    EXPECT_EQ(g_RunState.receiveBuffer[2], 8);
}

TEST_F(ScriptedReceiveFrame, RequestsGoToTheSeam) {
    uint8_t request[kFileRequestSize];
    buildFileRequest(request, 3, 4, 5);
    EXPECT_EQ(sendOnLink(request, sizeof request), static_cast<int>(sizeof request));
    EXPECT_EQ(link.sent, Bytes(request, request + sizeof request));
    g_Socket = 0;
    EXPECT_EQ(sendOnLink(request, sizeof request), -1);
}

class RequestPackage : public ::testing::Test {
protected:
    fake::Run run;

    void SetUp() override { std::snprintf(g_RunState.serverPackageName, 261, "%s", "client"); }
};

TEST_F(RequestPackage, SendsTheRequestAndLeavesTheReplyInTheBuffer) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (!c.read(&request, kPackageRequestSize)) return;
        server.record(request);
        c.write(fake::packageReply(0));
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());

    ASSERT_TRUE(requestPackage());
    EXPECT_EQ(replyPackageFileId(), 0);
    ASSERT_EQ(server.requests().size(), 1u);
    uint8_t expected[kPackageRequestSize];
    buildPackageRequest(expected, "client");
    EXPECT_EQ(server.requests()[0], Bytes(expected, expected + kPackageRequestSize));
    ASSERT_FALSE(fake::sleeps().empty());
    EXPECT_EQ(fake::sleeps().front(), 2000u);
    EXPECT_TRUE(fake::messages().empty());
    EXPECT_EQ(g_RunState.workerFinished, 0);
}

TEST_F(RequestPackage, UnknownPackageIsLeftForTheCaller) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (c.read(&request, kPackageRequestSize)) c.write(fake::packageReply(kNoSuchPackage));
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());

    ASSERT_TRUE(requestPackage());
    EXPECT_EQ(replyPackageFileId(), kNoSuchPackage);
    EXPECT_TRUE(fake::messages().empty());
    EXPECT_EQ(g_RunState.runFailed, 0);
}

TEST_F(RequestPackage, ShortReplyReadsZeroBeyondItsEnd) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (c.read(&request, kPackageRequestSize)) c.write(fake::frame({9, 9, 9}));
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());
    g_RunState.receiveBuffer[112] = 0xFF;
    g_RunState.receiveBuffer[113] = 0xFF;
    ASSERT_TRUE(requestPackage());
    EXPECT_EQ(replyPackageFileId(), 0);
}

TEST_F(RequestPackage, StopEndsTheRunWithoutNotification) {
    fake::Server server([&](fake::Connection& c) { c.clientClosed(); });
    fake::Run::connectTo(server.port());
    g_RunState.stopRequested = 1;

    EXPECT_FALSE(requestPackage());
    EXPECT_EQ(g_RunState.stopRequested, 0);
    EXPECT_EQ(g_RunState.workerFinished, 1);
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_TRUE(fake::messages().empty());
}

TEST_F(RequestPackage, FailedReconnectEndsWith78) {
    // The server takes the request and hangs up without a reply; no other
    // server is configured.
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        c.read(&request, kPackageRequestSize);
    });
    fake::Run::connectTo(server.port());

    EXPECT_FALSE(requestPackage());
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_ERROR, 78, 1}}));
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(g_RunState.workerFinished, 1);
    EXPECT_EQ(g_RunState.inNotify, 0);
}

TEST_F(RequestPackage, FailedSendReconnectsAndSendsTheWholeRequestAgain) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (!c.read(&request, kPackageRequestSize)) return;
        server.record(request);
        c.write(fake::packageReply(7));
        c.clientClosed();
    });
    fake::Run::addServer("127.0.0.1", server.port());
    g_Socket = 0;  // lost by an earlier read

    ASSERT_TRUE(requestPackage());
    EXPECT_EQ(replyPackageFileId(), 7);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(fake::count(run.log(), "发送失败,重新连接其他ip"), 1);
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 1}}));
}

TEST_F(RequestPackage, LostRepliesSpendTheBudgetAndEndWith80) {
    // Every server takes the request and hangs up: each round costs a failed
    // read and a send, so twenty reconnects spend the 40 attempts.
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (c.read(&request, kPackageRequestSize)) server.record(request);
    });
    for (int i = 0; i < kServerTableRows; ++i) fake::Run::addServer("127.0.0.1", server.port());
    fake::Run::connectTo(server.port());

    EXPECT_FALSE(requestPackage());
    std::vector<Message> expected(kServerTableRows, Message{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 1});
    expected.push_back({AU_MSG_STATUS, AU_STATUS_ERROR, 80, 1});
    EXPECT_EQ(fake::messages(), expected);
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(g_RunState.workerFinished, 1);
    ASSERT_TRUE(server.waitServed(kServerTableRows + 1));
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kServerTableRows + 1));
}

}  // namespace
