#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// A loopback listener on an ephemeral port.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 4);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int accept() { return ::accept(fd_, nullptr, nullptr); }
    uint16_t port() const { return port_; }

private:
    int fd_;
    uint16_t port_;
};

// A loopback port on which nothing listens.
uint16_t closedPort() {
    Listener listener;
    return listener.port();
}

int receiveTimeoutSeconds(platform::Socket socket) {
    timeval timeout{};
    socklen_t length = sizeof timeout;
    getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, &length);
    return static_cast<int>(timeout.tv_sec);
}

TEST(PlatformSockets, StartSocketsReportsNoError) {
    uint32_t error = 99;
    EXPECT_TRUE(platform::startSockets(&error));
    EXPECT_EQ(error, 0u);
}

TEST(PlatformSockets, RefusedConnectLeavesTheSameSocketUsable) {
    platform::Socket socket = platform::openStreamSocket();
    ASSERT_NE(socket, platform::kInvalidSocket);
    EXPECT_GT(socket, 2u);

    EXPECT_FALSE(platform::connectSocket(socket, "127.0.0.1", closedPort()));
    EXPECT_EQ(platform::lastError(), 10061u);
    EXPECT_FALSE(platform::connectSocket(socket, "127.0.0.1", closedPort()));
    EXPECT_EQ(platform::lastError(), 10061u);
    // The renewed socket keeps the read time-out.
    EXPECT_EQ(receiveTimeoutSeconds(socket), 60);

    Listener listener;
    ASSERT_TRUE(platform::connectSocket(socket, "127.0.0.1", listener.port()));
    int peer = listener.accept();
    ASSERT_GE(peer, 0);

    const char request[] = "request";
    EXPECT_EQ(platform::sendBytes(socket, request, 7), 7);
    char got[16] = {};
    ASSERT_EQ(recv(peer, got, sizeof got, 0), 7);
    EXPECT_STREQ(got, "request");

    ASSERT_EQ(send(peer, "reply!", 6, 0), 6);
    char reply[16] = {};
    EXPECT_EQ(platform::receiveBytes(socket, reply, sizeof reply), 6);
    EXPECT_STREQ(reply, "reply!");

    // The peer goes away: the read reports the orderly close.
    close(peer);
    EXPECT_EQ(platform::receiveBytes(socket, reply, sizeof reply), 0);
    platform::closeSocket(socket);
}

TEST(PlatformSockets, TextThatIsNoAddressFailsWithoutConnecting) {
    platform::Socket socket = platform::openStreamSocket();
    ASSERT_NE(socket, platform::kInvalidSocket);
    Listener listener;
    for (const char* text : {"", "300.1.2.3", "127.0.0.1x", "0.0.0.0", "255.255.255.255"}) {
        EXPECT_FALSE(platform::connectSocket(socket, text, listener.port())) << text;
        EXPECT_EQ(platform::lastError(), 10049u) << text;
    }
    EXPECT_FALSE(platform::connectSocket(socket, nullptr, listener.port()));
    // inet_addr reads the short forms as well.
    EXPECT_TRUE(platform::connectSocket(socket, "127.1", listener.port()));
    platform::closeSocket(socket);
}

TEST(PlatformSockets, SendToAClosedPeerFailsWithoutASignal) {
    Listener listener;
    platform::Socket socket = platform::openStreamSocket();
    ASSERT_TRUE(platform::connectSocket(socket, "127.0.0.1", listener.port()));
    int peer = listener.accept();
    ASSERT_GE(peer, 0);
    // Reset the connection rather than closing it gently.
    linger abort{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(peer);

    char block[4096] = {};
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) result = platform::sendBytes(socket, block, sizeof block);
    EXPECT_EQ(result, -1);
    uint32_t error = platform::lastError();
    EXPECT_TRUE(error == 10054u || error == 10058u) << error;
    platform::closeSocket(socket);
}

TEST(PlatformSockets, BoundedReceiveFailsAsATimeOutAndThenReadsWhatArrives) {
    Listener listener;
    platform::Socket socket = platform::openStreamSocket();
    ASSERT_TRUE(platform::connectSocket(socket, "127.0.0.1", listener.port()));
    int peer = listener.accept();
    ASSERT_GE(peer, 0);

    char buffer[8] = {};
    EXPECT_EQ(platform::receiveBytesWithin(socket, buffer, sizeof buffer, 30), -1);
    EXPECT_EQ(platform::lastError(), 10060u);

    ASSERT_EQ(send(peer, "abc", 3, 0), 3);
    EXPECT_EQ(platform::receiveBytesWithin(socket, buffer, sizeof buffer, 5000), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    close(peer);
    EXPECT_EQ(platform::receiveBytesWithin(socket, buffer, sizeof buffer, 5000), 0);
    platform::closeSocket(socket);
}

TEST(PlatformSockets, UnansweredConnectTimesOutAndTheSocketStaysUsable) {
    // A listener whose accept queue is full drops further handshakes unanswered.
    int full = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(full, 0), 0);
    socklen_t length = sizeof address;
    getsockname(full, reinterpret_cast<sockaddr*>(&address), &length);
    uint16_t port = ntohs(address.sin_port);

    std::vector<platform::Socket> queued;
    platform::Socket socket = platform::kInvalidSocket;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        socket = platform::openStreamSocket();
        ASSERT_NE(socket, platform::kInvalidSocket);
        if (platform::connectSocket(socket, "127.0.0.1", port)) {
            queued.push_back(socket);
        } else {
            EXPECT_EQ(platform::lastError(), 10060u);
            timedOut = true;
        }
    }
    ASSERT_TRUE(timedOut);
    Listener listener;
    EXPECT_TRUE(platform::connectSocket(socket, "127.0.0.1", listener.port()));
    platform::closeSocket(socket);
    for (platform::Socket s : queued) platform::closeSocket(s);
    close(full);
}

TEST(PlatformSockets, StandardStreamsAreNeverHandedOutOrClosed) {
    int savedInput = dup(0);
    ASSERT_GE(savedInput, 0);
    close(0);
    platform::Socket socket = platform::openStreamSocket();
    dup2(savedInput, 0);
    close(savedInput);
    ASSERT_NE(socket, platform::kInvalidSocket);
    EXPECT_GT(socket, 2u);
    EXPECT_EQ(receiveTimeoutSeconds(socket), 60);
    platform::closeSocket(socket);

    // 0 is the run's "no socket": closing it must not close standard input.
    platform::closeSocket(0);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    char byte;
    EXPECT_EQ(platform::receiveBytes(0, &byte, 1), -1);
    EXPECT_EQ(platform::sendBytes(platform::kInvalidSocket, &byte, 1), -1);
    EXPECT_FALSE(platform::connectSocket(0, "127.0.0.1", 1));
}

}  // namespace
