#include "net/server_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_server.h"
#include "run/run_state.h"

namespace {

using fake::Message;

const Message kTryPreferred{AU_MSG_STATUS, AU_STATUS_CONNECTING, 0, 0};
const Message kTryRow{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 0};
const Message kTryRowGuarded{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 1};

// A server that only counts the connections it is given.
fake::Server::Script holdUntilClosed() {
    return [](fake::Connection& c) { c.clientClosed(); };
}

class ConnectFirstServer : public ::testing::Test {
protected:
    fake::Run run;

    void prefer(const char* ip) {
        std::snprintf(g_RunState.preferredServerIp, sizeof g_RunState.preferredServerIp, "%s", ip);
    }
};

TEST_F(ConnectFirstServer, PreferredAddressIsTriedFirstWithItsRowsPort) {
    fake::Server server(holdUntilClosed());
    fake::Run::addServer("127.0.0.2", fake::refusingPort());
    fake::Run::addServer("127.0.0.1", server.port());
    fake::Run::addServer("127.0.0.1", fake::refusingPort());
    prefer("127.0.0.1");

    ASSERT_TRUE(connectFirstServer());
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTryPreferred});
    EXPECT_EQ(g_RunState.ServerTable[0].tried, 0);
    EXPECT_EQ(g_RunState.ServerTable[1].tried, 1);
    EXPECT_EQ(g_RunState.ServerTable[2].tried, 0);  // only the first equal row
    EXPECT_TRUE(fake::sleeps().empty());
    std::string line = "端口跟ftp:[" + std::to_string(server.port()) + "] 127.0.0.1，" +
                       std::to_string(server.port()) + ",连接该服务器\r\n";
    EXPECT_EQ(fake::count(run.log(), line), 1) << run.log();
    EXPECT_EQ(fake::count(run.log(), "连接失败"), 0);
    EXPECT_EQ(g_RunState.workerFinished, 0);
}

TEST_F(ConnectFirstServer, FiveCharacterAddressIsAttempted) {
    fake::Server server(holdUntilClosed());
    fake::Run::addServer("127.1", server.port());
    prefer("127.1");
    ASSERT_TRUE(connectFirstServer());
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTryPreferred});
}

TEST_F(ConnectFirstServer, ShortPreferredAddressIsNotAttemptedButAnnounced) {
    for (const char* preferred : {"", "127."}) {
        SCOPED_TRACE(preferred);
        fake::messages().clear();
        g_RunState.serverCount = 0;
        fake::Server server(holdUntilClosed());
        fake::Run::addServer("127.0.0.1", server.port());
        prefer(preferred);

        ASSERT_TRUE(connectFirstServer());
        EXPECT_EQ(fake::messages(), (std::vector<Message>{kTryPreferred, kTryRow}));
        EXPECT_EQ(g_RunState.ServerTable[0].tried, 1);
        std::string announced = "端口跟ftp:[38432] " + std::string(preferred) + "，38432,连接该服务器";
        EXPECT_EQ(fake::count(run.log(), announced), 1) << run.log();
        EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[38432] " + std::string(preferred) + "，连接失败"), 1);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
}

TEST_F(ConnectFirstServer, FailsOverToAnUntriedRow) {
    fake::Server server(holdUntilClosed());
    uint16_t refused = fake::refusingPort();
    fake::Run::addServer("127.0.0.1", refused);
    fake::Run::addServer("127.0.0.1", server.port());
    prefer("127.0.0.1");

    ASSERT_TRUE(connectFirstServer());
    // The preferred row is never drawn again, so exactly one row attempt.
    EXPECT_EQ(fake::messages(), (std::vector<Message>{kTryPreferred, kTryRow}));
    EXPECT_EQ(g_RunState.ServerTable[1].tried, 1);
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[" + std::to_string(refused) + "] 127.0.0.1，连接失败"), 1);
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[" + std::to_string(server.port()) + "] 127.0.0.1,连接该服务器"),
              1)
        << run.log();
    EXPECT_EQ(g_RunState.ServerTable[0].tried, 1);
}

TEST_F(ConnectFirstServer, NoServerEndsTheRunWith27) {
    fake::Run::addServer("127.0.0.1", fake::refusingPort());
    fake::Run::addServer("127.0.0.1", fake::refusingPort());
    prefer("127.0.0.1");

    EXPECT_FALSE(connectFirstServer());
    EXPECT_EQ(fake::messages(),
              (std::vector<Message>{kTryPreferred, kTryRow, {AU_MSG_STATUS, AU_STATUS_ERROR, 27, 0}}));
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(g_RunState.workerFinished, 1);
}

TEST_F(ConnectFirstServer, EmptyTableEndsTheRunWith27) {
    prefer("");
    EXPECT_FALSE(connectFirstServer());
    EXPECT_EQ(fake::messages(), (std::vector<Message>{kTryPreferred, {AU_MSG_STATUS, AU_STATUS_ERROR, 27, 0}}));
    EXPECT_EQ(g_RunState.runFailed, 1);
}

TEST_F(ConnectFirstServer, RowWithoutTerminatorIsReadWithinItsField) {
    fake::Run::addServer("127.0.0.1", fake::refusingPort());
    std::memset(g_RunState.ServerTable[0].ip, '1', sizeof g_RunState.ServerTable[0].ip);
    g_RunState.ServerTable[0].port = 0x7FFFFFFF;  // spills into the next field if read on
    prefer("");
    EXPECT_FALSE(connectFirstServer());
    EXPECT_EQ(fake::count(run.log(), "1111111111111111111,连接该服务器"), 1) << run.log();
    EXPECT_EQ(fake::count(run.log(), "11111111111111111111"), 0);
}

TEST_F(ConnectFirstServer, NamesGoThroughTheResolverAndOneThatGivesNothingIsAFailedAttempt) {
    fake::Server server(holdUntilClosed());
    fake::Run::addServer("::g", 4000);  // no address; short, but a name is still tried
    fake::Run::addServer("localhost", server.port());
    prefer("::g");

    ASSERT_TRUE(connectFirstServer());
    EXPECT_EQ(fake::messages(), (std::vector<Message>{kTryPreferred, kTryRow}));
    EXPECT_EQ(fake::count(run.log(), "错误代码:[11001] 无法解析服务器名::g\r\n"), 1) << run.log();
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[4000] ::g，连接失败"), 1);
    std::string port = std::to_string(server.port());
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[" + port + "] localhost,连接该服务器"), 1);
    EXPECT_TRUE(server.waitAccepted(1));
}

// A seed from the clock in seconds gave every client started in one second
// the same draws.
TEST(DrawSeed, TwoSeedsDrawnInTheSameSecondDiffer) {
    EXPECT_NE(platform::randomSeed(), platform::randomSeed());
}

class ReconnectServer : public ::testing::Test {
protected:
    fake::Run run;
};

TEST_F(ReconnectServer, ConnectsToAnUntriedRowClosesTheOldOneAndPauses) {
    std::atomic<bool> oldClosed{false};
    fake::Server lost([&](fake::Connection& c) { oldClosed = c.clientClosed(); });
    fake::Server next(holdUntilClosed());
    fake::Run::addServer("127.0.0.1", lost.port(), 1);
    fake::Run::addServer("127.0.0.1", next.port());
    fake::Run::connectTo(lost.port());

    ASSERT_TRUE(reconnectServer());
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTryRowGuarded});
    EXPECT_EQ(fake::sleeps(), std::vector<uint32_t>{2400});
    EXPECT_EQ(g_RunState.ServerTable[1].tried, 1);
    ASSERT_TRUE(lost.waitServed(1));
    EXPECT_TRUE(oldClosed);
    EXPECT_EQ(lost.accepted(), 1);
    std::string port = std::to_string(next.port());
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[" + port + "] 127.0.0.1，port=" + port + ",连接该服务器"), 1)
        << run.log();

    // Both rows are now spent: no attempt, 23 under the guard.
    fake::messages().clear();
    EXPECT_FALSE(reconnectServer());
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_ERROR, 23, 1}}));
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_EQ(fake::count(run.log(), "没找到合适连接2"), 1);
    EXPECT_EQ(lost.accepted(), 1);
    // The connect is complete before the server thread gets round to accepting it.
    EXPECT_TRUE(next.waitAccepted(1));
    EXPECT_EQ(next.accepted(), 1);
}

TEST_F(ReconnectServer, RowWithDefaultPortUses38432) {
    fake::Run::addServer("127.0.0.1", 0, 1);
    fake::Run::addServer("300.0.0.1", 0);  // not an address: the attempt fails
    EXPECT_FALSE(reconnectServer());
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp:[38432] 300.0.0.1，port=38432,连接该服务器"), 1) << run.log();
    EXPECT_EQ(fake::messages(), (std::vector<Message>{kTryRowGuarded, {AU_MSG_STATUS, AU_STATUS_ERROR, 23, 1}}));
    EXPECT_TRUE(fake::sleeps().empty());
}

TEST_F(ReconnectServer, EmptyTableFailsTheRunQuietly) {
    EXPECT_FALSE(reconnectServer());
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_TRUE(fake::messages().empty());
    EXPECT_EQ(fake::count(run.log(), "端口跟ftp"), 0);
}

TEST_F(ReconnectServer, StopRequestRefusesWithoutTouchingTheSocket) {
    fake::Server server(holdUntilClosed());
    fake::Run::addServer("127.0.0.1", server.port());
    fake::Run::connectTo(server.port());
    platform::Socket socket = g_Socket;
    g_RunState.stopRequested = 1;

    EXPECT_FALSE(reconnectServer());
    EXPECT_EQ(g_Socket, socket);
    EXPECT_EQ(g_RunState.ServerTable[0].tried, 0);
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_TRUE(fake::messages().empty());
}

}  // namespace
