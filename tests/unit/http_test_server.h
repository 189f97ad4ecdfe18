// A scripted HTTP/1.1 server on 127.0.0.1 for the HTTP rows (http_cases.h):
// run inside the native test and, as its own process, for the Windows build
// under Wine. Keep-alive; one thread per connection. What a path answers:
//   /object       a 100000-byte object (byte i is i % 251); 206 for one "Range: bytes=F-L"
//   /redirect     302 to /object
//   /connection   the serial number of the connection it came on
//   /cut          declares 1000 bytes, sends 500 and closes
//   /stall        declares 1000000 bytes, sends 100, then nothing until the client goes
//   anything else 404
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace http_test_server {

constexpr uint64_t kObjectSize = 100000;

inline uint8_t objectByte(uint64_t offset) { return static_cast<uint8_t>(offset % 251); }

class Server {
public:
    Server() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        port_ = bindLoopback(listener_);
        listen(listener_, 16);
        closedPort_ = closedPort();
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~Server() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        close(listener_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (int client : clients_) shutdown(client, SHUT_RDWR);
        for (std::thread& thread : threads_) thread.join();
        for (int client : clients_) close(client);
    }
    uint16_t port() const { return port_; }
    // A loopback port on which nothing listens.
    uint16_t closedPortNumber() const { return closedPort_; }

private:
    static uint16_t bindLoopback(int fd) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    static uint16_t closedPort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        uint16_t port = bindLoopback(fd);
        close(fd);
        return port;
    }

    void acceptLoop() {
        for (int serial = 1;; ++serial) {
            int client = accept(listener_, nullptr, nullptr);
            if (client < 0 || stopping_) {
                if (client >= 0) close(client);
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            clients_.push_back(client);
            threads_.emplace_back([this, client, serial] {
                serve(client, serial);
                shutdown(client, SHUT_RDWR);
            });
        }
    }

    static bool sendAll(int fd, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) return false;
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    static std::string object(uint64_t first, uint64_t last) {
        std::string bytes;
        for (uint64_t offset = first; offset <= last; ++offset) bytes += static_cast<char>(objectByte(offset));
        return bytes;
    }

    static std::string answer(int status, const std::string& headers, const std::string& body) {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + headers + "Content-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    // The answer to /object: the whole object, or the one range asked for.
    static std::string objectAnswer(const std::string& request) {
        std::size_t at = request.find("\r\nRange: bytes=");
        if (at == std::string::npos) return answer(200, "", object(0, kObjectSize - 1));
        unsigned long long first = 0;
        unsigned long long last = 0;
        char after = 0;
        if (std::sscanf(request.c_str() + at + 15, "%llu-%llu%c", &first, &last, &after) != 3 || after != '\r' ||
            first > last) {
            return answer(400, "", "");
        }
        if (first >= kObjectSize) return answer(416, "Content-Range: bytes */100000\r\n", "");
        if (last >= kObjectSize) last = kObjectSize - 1;
        return answer(206,
                      "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/100000\r\n",
                      object(first, last));
    }

    // Waits for the client to go (or the server to stop).
    void holdUntilClosed(int fd) {
        for (int waited = 0; waited < 600 && !stopping_; ++waited) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, 50) > 0) {
                char byte;
                if (recv(fd, &byte, 1, 0) <= 0) return;
            }
        }
    }

    void serve(int fd, int serial) {
        std::string pending;
        char buffer[4096];
        for (;;) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                ssize_t count = recv(fd, buffer, sizeof buffer, 0);
                if (count <= 0) return;
                pending.append(buffer, static_cast<std::size_t>(count));
            }
            const std::string request = pending.substr(0, end + 2);
            pending.erase(0, end + 4);
            const std::size_t pathStart = request.find(' ') + 1;
            const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
            if (path == "/object") {
                if (!sendAll(fd, objectAnswer(request))) return;
            } else if (path == "/redirect") {
                if (!sendAll(fd, answer(302, "Location: /object\r\n", ""))) return;
            } else if (path == "/connection") {
                if (!sendAll(fd, answer(200, "", std::to_string(serial)))) return;
            } else if (path == "/cut") {
                sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + object(0, 499));
                return;
            } else if (path == "/stall") {
                sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + object(0, 99));
                holdUntilClosed(fd);
                return;
            } else if (!sendAll(fd, answer(404, "", "not here"))) {
                return;
            }
        }
    }

    int listener_;
    uint16_t port_;
    uint16_t closedPort_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::thread> threads_;
};

}  // namespace http_test_server
