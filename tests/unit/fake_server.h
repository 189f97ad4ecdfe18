// A scripted update server on 127.0.0.1 for the link tests: it accepts
// connections one after the other on an ephemeral port and runs the test's
// script for each on its own thread. Everything it opens is closed and its
// thread joined when it goes out of scope.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "autoupdate.h"
#include "files/md5.h"
#include "log/update_log.h"
#include "net/address_text.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace fake {

using Bytes = std::vector<uint8_t>;

inline int loopbackSocket(uint16_t port, sockaddr_in* address) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd;
}

inline uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A loopback port with nobody listening: a connect there is refused.
inline uint16_t refusingPort() {
    sockaddr_in address{};
    int fd = loopbackSocket(0, &address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

// One accepted connection as the script sees it.
class Connection {
public:
    Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    // Reads exactly count bytes; false when the client closed first.
    bool read(Bytes* out, std::size_t count) {
        out->assign(count, 0);
        std::size_t got = 0;
        while (got < count) {
            if (!waitReadable()) return false;
            ssize_t n = ::recv(fd_, out->data() + got, count - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads exactly count bytes within timeoutMs; false when they did not
    // all come in time or the client closed first. A script that waits for
    // requests a faulty client never sends ends instead of hanging the test.
    bool readWithin(Bytes* out, std::size_t count, int timeoutMs) {
        out->assign(count, 0);
        std::size_t got = 0;
        for (int waited = 0; got < count; waited += 20) {
            if (stopping_ || waited >= timeoutMs) return false;
            pollfd p{fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, 20);
            if (ready < 0) return false;
            if (ready == 0) continue;
            ssize_t n = ::recv(fd_, out->data() + got, count - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    // True when the client closed its end (nothing more arrives).
    bool clientClosed() {
        uint8_t byte;
        if (!waitReadable()) return false;
        return ::recv(fd_, &byte, 1, 0) == 0;
    }

    void write(const Bytes& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // Every byte in its own segment, so the client sees one byte per read.
    void writeByteByByte(const Bytes& bytes) {
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        for (uint8_t byte : bytes) {
            ::send(fd_, &byte, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    bool waitReadable() {
        while (!stopping_) {
            pollfd p{fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, 20);
            if (ready > 0) return true;
            if (ready < 0) return false;
        }
        return false;
    }

    int fd_;
    const std::atomic<bool>& stopping_;
};

class Server {
public:
    using Script = std::function<void(Connection&)>;

    explicit Server(Script script) : script_(std::move(script)) {
        sockaddr_in address{};
        listenFd_ = loopbackSocket(0, &address);
        int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listenFd_, 16);
        port_ = boundPort(listenFd_);
        thread_ = std::thread([this] { serve(); });
    }

    ~Server() {
        stopping_ = true;
        thread_.join();
        ::close(listenFd_);
    }

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    uint16_t port() const { return port_; }
    int accepted() const { return accepted_; }

    // Waits (bounded) until count connections have been served to the end.
    bool waitServed(int count) {
        for (int i = 0; i < 500 && served_ < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return served_ >= count;
    }

    // Waits (bounded) until count connections have been accepted.
    bool waitAccepted(int count) {
        for (int i = 0; i < 500 && accepted_ < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return accepted_ >= count;
    }

    // Requests the script chose to record, in arrival order.
    void record(const Bytes& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (!stopping_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) continue;
            ++accepted_;
            Connection connection(fd, stopping_);
            script_(connection);
            ::close(fd);
            ++served_;
        }
    }

    Script script_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> served_{0};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

inline void putLe16(Bytes& frame, std::size_t at, uint16_t value) {
    frame[at] = static_cast<uint8_t>(value);
    frame[at + 1] = static_cast<uint8_t>(value >> 8);
}

inline uint16_t le16(const Bytes& frame, std::size_t at) {
    return static_cast<uint16_t>(frame[at] | (frame[at + 1] << 8));
}

inline uint32_t le32(const Bytes& frame, std::size_t at) {
    return static_cast<uint32_t>(frame[at]) | (static_cast<uint32_t>(frame[at + 1]) << 8) |
           (static_cast<uint32_t>(frame[at + 2]) << 16) | (static_cast<uint32_t>(frame[at + 3]) << 24);
}

// A reply frame: buffsize, then body.
inline Bytes frame(const Bytes& body) {
    Bytes out(2 + body.size());
    putLe16(out, 0, static_cast<uint16_t>(body.size()));
    if (!body.empty()) std::memcpy(out.data() + 2, body.data(), body.size());
    return out;
}

// A chunk reply: flag, then payload.
inline Bytes chunk(uint8_t flag, const Bytes& payload) {
    Bytes body(1 + payload.size());
    body[0] = flag;
    if (!payload.empty()) std::memcpy(body.data() + 1, payload.data(), payload.size());
    return frame(body);
}

// A package reply of 114 bytes carrying id at offset 112.
inline Bytes packageReply(uint16_t id) {
    Bytes out(114, 0);
    putLe16(out, 0, 112);
    putLe16(out, 112, id);
    return out;
}

// What the host window received: each message with the inNotify value seen
// while it was being handled.
struct Message {
    unsigned msg;
    uintptr_t wParam;
    intptr_t lParam;
    uint8_t inNotify;

    bool operator==(const Message& other) const {
        return msg == other.msg && wParam == other.wParam && lParam == other.lParam &&
               inNotify == other.inNotify;
    }
};

inline std::vector<Message>& messages() {
    static std::vector<Message> received;
    return received;
}

inline intptr_t recordMessage(AutoUpdateHost*, unsigned msg, uintptr_t wParam, intptr_t lParam) {
    messages().push_back({msg, wParam, lParam, g_RunState.inNotify.load()});
    return 0;
}

inline AutoUpdateHost* recordingHost() {
    static AutoUpdateHost host{recordMessage, nullptr, nullptr};
    return &host;
}

// Sleeps are recorded and cost nothing; the tick is set by the test.
inline std::vector<uint32_t>& sleeps() {
    static std::vector<uint32_t> recorded;
    return recorded;
}
inline std::atomic<uint32_t>& tick() {
    static std::atomic<uint32_t> now{0};
    return now;
}
inline void installClock() {
    static const platform::ClockHooks hooks{
        [] { return tick().load(); },
        [](uint32_t ms) { sleeps().push_back(ms); }};
    sleeps().clear();
    tick() = 0;
    platform::setClockForTests(&hooks);
}

// A fresh run with a recording host, the fake clock, a temp game directory
// and the log open in it.
class Run {
public:
    Run() {
        resetRunState();
        messages().clear();
        installClock();
        g_RunState.hostWindow = recordingHost();
        g_RunState.workerFinished = 0;
        char pattern[] = "/tmp/net_test_XXXXXX";
        dir_ = ::mkdtemp(pattern);
        std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", dir_.c_str());
        logPath_ = dir_ + "/autoupdatelog.txt";
        g_UpdateLog.open(logPath_.c_str());
    }

    ~Run() {
        if (g_Socket != 0 && g_Socket != platform::kInvalidSocket) platform::closeSocket(g_Socket);
        g_Socket = 0;
        platform::setClockForTests(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    const std::string& dir() const { return dir_; }

    std::string log() const { return readFile(logPath_); }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Connects g_Socket to the server as an earlier connection would have.
    static void connectTo(uint16_t port) {
        g_Socket = platform::openStreamSocket();
        ASSERT_NE(g_Socket, platform::kInvalidSocket);
        ASSERT_TRUE(platform::connectSocket(g_Socket, "127.0.0.1", port));
    }

    static void addServer(const char* ip, int32_t port, uint8_t tried = 0) {
        ServerEntry& row = g_RunState.ServerTable[g_RunState.serverCount++];
        if (isServerName(ip)) {
            std::snprintf(row.name, sizeof row.name, "%s", ip);
        } else {
            std::snprintf(row.ip, sizeof row.ip, "%s", ip);
        }
        row.port = port;
        row.tried = tried;
    }

private:
    std::string dir_;
    std::string logPath_;
};

// The digest text a list gives for these bytes.
inline std::string md5Hex(const Bytes& bytes) {
    uint8_t digest[16];
    char text[33];
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, bytes.data(), bytes.size());
    Md5Final(digest, &context);
    Md5ToHex(digest, text);
    return text;
}

inline int count(const std::string& text, const std::string& piece) {
    int found = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++found;
    return found;
}

}  // namespace fake
