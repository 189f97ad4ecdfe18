// The real update-server as a child process on 127.0.0.1 (ephemeral port, its
// standard error kept in a file), and a blocking test client with time-outs.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wire_protocol.h"

namespace server_test {

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int RunAndWait(const std::vector<std::string>& args)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ServerProcess {
public:
    // descriptorLimit, when given, is both the soft and the hard limit on open
    // descriptors of the server.
    ServerProcess(const std::string& dir, const std::string& root, const std::vector<std::string>& extra,
                  rlim_t descriptorLimit = 0)
    {
        static int counter = 0;
        const std::string id = std::to_string(getpid()) + "-" + std::to_string(counter++);
        portFile_ = dir + "/port-" + id;
        logFile_ = dir + "/server-" + id + ".log";
        std::vector<std::string> args = {UPDATE_SERVER_BIN, "--root", root, "--port", "0", "--port-file", portFile_};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            int log = open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 2);
            if (descriptorLimit > 0) {
                rlimit limit{descriptorLimit, descriptorLimit};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && port_ == 0; ++i) {  // at most 10 s
            std::string text = ReadWholeFile(portFile_);
            if (!text.empty()) port_ = static_cast<uint16_t>(std::atoi(text.c_str()));
            else usleep(20000);
        }
    }
    ~ServerProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    uint16_t port() const { return port_; }
    std::string log() const { return ReadWholeFile(logFile_); }
    // The log once it holds count copies of text, or as it is after 5 s: a
    // line may follow the reply it tells of.
    std::string logWith(const std::string& text, int count = 1) const
    {
        std::string now = log();
        for (int step = 0; step < 100; ++step, now = log()) {
            int found = 0;
            for (std::size_t at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) ++found;
            if (found >= count) break;
            usleep(50000);
        }
        return now;
    }

    void signal(int number) const { kill(pid_, number); }
    // The exit status after SIGTERM, -1 when it did not exit normally.
    int stop()
    {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The exit status once the process ended within the time, -1 when it
    // ended otherwise, -2 when it is still running.
    int waitForExit(std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= end) return -2;
            usleep(10000);
        }
        return -1;
    }

private:
    std::string portFile_;
    std::string logFile_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

class TestClient {
public:
    // host: a numeric loopback address, IPv4 or IPv6; source: the IPv4
    // loopback address to connect from (the system's choice when null).
    explicit TestClient(uint16_t port, int receiveBuffer = 0, int timeoutSeconds = 10,
                        const std::string& host = "127.0.0.1", const char* source = nullptr)
    {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* address = nullptr;
        if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &address) != 0) return;
        fd_ = socket(address->ai_family, SOCK_STREAM, 0);
        if (source) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, source, &local.sin_addr);
            bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        timeval timeout{timeoutSeconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        connected_ = connect(fd_, address->ai_addr, address->ai_addrlen) == 0;
        freeaddrinfo(address);
    }
    ~TestClient()
    {
        if (fd_ >= 0) close(fd_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool connected() const { return connected_; }

    bool sendBytes(const uint8_t* data, std::size_t length)
    {
        while (length > 0) {
            ssize_t sent = send(fd_, data, length, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data += sent;
            length -= static_cast<std::size_t>(sent);
        }
        return true;
    }
    // One whole reply frame; empty when the stream ended or broke first, and
    // then ended() tells whether it ended cleanly.
    std::string receiveFrame()
    {
        std::string frame;
        if (!receiveExactly(2, &frame)) return std::string();
        std::size_t body = wire::ReadLe16(reinterpret_cast<const uint8_t*>(frame.data()));
        if (!receiveExactly(body, &frame)) return std::string();
        return frame;
    }
    std::string packageRequest(const std::string& name)
    {
        uint8_t frame[wire::kPackageRequestBytes];
        wire::BuildPackageRequest(frame, name);
        return sendBytes(frame, sizeof frame) ? receiveFrame() : std::string();
    }
    std::string fileRequest(uint16_t id, uint16_t serial, uint32_t offset)
    {
        uint8_t frame[wire::kFileRequestBytes];
        wire::BuildFileRequest(frame, id, serial, offset);
        return sendBytes(frame, sizeof frame) ? receiveFrame() : std::string();
    }
    // True when the server has closed the connection (an end of stream or a
    // reset), waiting at most the receive time-out.
    bool closedByServer()
    {
        char byte;
        ssize_t got = recv(fd_, &byte, 1, 0);
        return got == 0 || (got < 0 && (errno == ECONNRESET || errno == EPIPE));
    }
    bool endedCleanly() const { return cleanEnd_; }
    int fd() const { return fd_; }

private:
    bool receiveExactly(std::size_t count, std::string* into)
    {
        std::size_t start = into->size();
        into->resize(start + count);
        std::size_t done = 0;
        while (done < count) {
            ssize_t got = recv(fd_, &(*into)[start + done], count - done, 0);
            if (got <= 0) {
                cleanEnd_ = got == 0 && done == 0 && start == 0;
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool cleanEnd_ = false;
};

// The status and body of the answer to "GET path" over HTTP/1.0; status 0
// when there is none.
struct HttpAnswer {
    int status = 0;
    std::string body;
};

inline HttpAnswer HttpGet(uint16_t port, const std::string& path, const std::string& host = "127.0.0.1")
{
    TestClient client(port, 0, 10, host);
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    std::string text;
    char block[4096];
    if (client.sendBytes(reinterpret_cast<const uint8_t*>(request.data()), request.size())) {
        ssize_t got;
        while ((got = recv(client.fd(), block, sizeof block, 0)) > 0) text.append(block, static_cast<std::size_t>(got));
    }
    HttpAnswer answer;
    const std::size_t bodyAt = text.find("\r\n\r\n");
    if (text.compare(0, 7, "HTTP/1.") != 0 || bodyAt == std::string::npos) return answer;
    answer.status = std::atoi(text.c_str() + 9);
    answer.body = text.substr(bodyAt + 4);
    return answer;
}

// The sum of every sample of a metric in Prometheus text, whatever its
// labels; -1 when it has none.
inline double MetricValue(const std::string& text, const std::string& name)
{
    double sum = -1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size(), name) != 0 || line.size() <= name.size()) continue;
        const char next = line[name.size()];
        if (next != ' ' && next != '{') continue;
        const std::size_t value = next == '{' ? line.find('}') : name.size();
        if (value == std::string::npos) continue;
        sum = (sum < 0 ? 0 : sum) + std::strtod(line.c_str() + value + 1, nullptr);
    }
    return sum;
}

inline uint16_t PackageIdOf(const std::string& reply)
{
    // A reply may carry the fast-mode offer after byte 113.
    return reply.size() >= 114 ? wire::ReadLe16(reinterpret_cast<const uint8_t*>(reply.data()) + 112) : 0;
}

}  // namespace server_test
