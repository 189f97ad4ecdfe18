// Many base-protocol clients on 127.0.0.1 against one update-server for a
// fixed time, all in one event loop: each asks for the package, then fetches
// the package's files one chunk at a time, round and round, and the bytes of
// payload received are counted. With --ceiling it measures instead what
// loopback TCP itself carries on this machine: one sending and one receiving
// thread per core, 64 KiB writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wire_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int port = 0;
    std::string package;
    int clients = 1;
    int files = 1;
    double seconds = 5;
    bool ceiling = false;
};

const char kUsage[] =
    "usage: server_load --port N --package NAME --files K [--clients N] [--seconds S]\n"
    "       server_load --ceiling [--seconds S]\n";

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--ceiling") {
            options->ceiling = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--port") options->port = std::atoi(value);
        else if (arg == "--package") options->package = value;
        else if (arg == "--clients") options->clients = std::atoi(value);
        else if (arg == "--files") options->files = std::atoi(value);
        else if (arg == "--seconds") options->seconds = std::atof(value);
        else return false;
    }
    if (options->seconds <= 0 || options->seconds > 120) return false;
    if (options->ceiling) return true;
    return options->port > 0 && options->port < 65536 && !options->package.empty() &&
           options->clients >= 1 && options->clients <= 5000 && options->files >= 1 &&
           options->files <= 65535;
}

int connectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Client {
    int fd = -1;
    std::vector<uint8_t> out;
    std::size_t sent = 0;
    std::vector<uint8_t> in;
    bool awaitingPackage = true;
    uint16_t packageId = 0;
    uint16_t serial = 1;
    uint32_t offset = 0;
};

void queueFileRequest(Client* client) {
    client->out.assign(wire::kFileRequestBytes, 0);
    wire::BuildFileRequest(client->out.data(), client->packageId, client->serial, client->offset);
    client->sent = 0;
}

// Sends what is pending; false when the connection failed.
bool flush(Client* client) {
    while (client->sent < client->out.size()) {
        ssize_t n = send(client->fd, client->out.data() + client->sent,
                         client->out.size() - client->sent, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        client->sent += static_cast<std::size_t>(n);
    }
    return true;
}

int runClients(const Options& options) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<std::size_t>(options.clients));
    int connected = 0;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        Client& client = clients[i];
        client.fd = connectLoopback(options.port);
        if (client.fd < 0) continue;
        ++connected;
        // Spread the clients over the files so they do not all read the same one.
        client.serial = static_cast<uint16_t>(1 + i % static_cast<std::size_t>(options.files));
        client.out.assign(wire::kPackageRequestBytes, 0);
        wire::BuildPackageRequest(client.out.data(), options.package);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, client.fd, &event);
    }

    unsigned long long payloadBytes = 0;
    unsigned long long frames = 0;
    unsigned long long refusals = 0;
    int failed = 0;
    std::vector<uint8_t> buffer(1 << 16);
    std::vector<epoll_event> events(1024);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    while (Clock::now() < end) {
        int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 50);
        for (int e = 0; e < ready; ++e) {
            Client& client = clients[events[e].data.u64];
            if (client.fd < 0) continue;
            bool alive = true;
            if (events[e].events & EPOLLOUT) alive = flush(&client);
            if (alive && (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
                ssize_t n = recv(client.fd, buffer.data(), buffer.size(), 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    alive = false;
                } else if (n > 0) {
                    client.in.insert(client.in.end(), buffer.begin(), buffer.begin() + n);
                }
            }
            // A client has at most one request out, so at most one whole reply.
            while (alive && client.in.size() >= 2) {
                std::size_t frameBytes = 2 + wire::ReadLe16(client.in.data());
                if (client.in.size() < frameBytes) break;
                ++frames;
                if (client.awaitingPackage) {
                    client.awaitingPackage = false;
                    client.packageId = frameBytes >= 114 ? wire::ReadLe16(client.in.data() + 112) : 0xFFFF;
                    if (client.packageId == 0xFFFF) alive = false;
                } else {
                    uint8_t flag = frameBytes >= 3 ? client.in[2] : 0;
                    std::size_t payload = frameBytes >= 3 ? frameBytes - 3 : 0;
                    payloadBytes += payload;
                    client.offset += static_cast<uint32_t>(payload);
                    if (flag == wire::kChunkRefused) ++refusals;
                    if (flag == wire::kChunkLast || flag == wire::kChunkRefused) {
                        client.serial = static_cast<uint16_t>(client.serial % options.files + 1);
                        client.offset = 0;
                    }
                }
                client.in.erase(client.in.begin(), client.in.begin() + static_cast<long>(frameBytes));
                if (alive) {
                    queueFileRequest(&client);
                    alive = flush(&client);
                }
            }
            if (!alive) {
                ++failed;
                close(client.fd);
                client.fd = -1;
            }
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& client : clients) {
        if (client.fd >= 0) close(client.fd);
    }
    close(epoll);
    // The clients share the machine with the server: their own CPU says how
    // much of it they took.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    std::printf("clients %d connected %d dropped %d frames %llu refused %llu bytes %llu "
                "seconds %.3f MBps %.1f client_cpu %.0f%%\n",
                options.clients, connected, failed, frames, refusals, payloadBytes, elapsed,
                static_cast<double>(payloadBytes) / elapsed / 1e6, 100 * cpu / elapsed);
    return connected == options.clients ? 0 : 1;
}

int runCeiling(const Options& options) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listener");
        return 1;
    }
    unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) cores = 1;
    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> received{0};
    std::vector<std::thread> threads;
    std::vector<int> sockets;
    for (unsigned i = 0; i < cores; ++i) {
        int writer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("connect");
            return 1;
        }
        int reader = accept(listener, nullptr, nullptr);
        sockets.push_back(writer);
        sockets.push_back(reader);
        threads.emplace_back([writer, &stop] {
            std::vector<char> block(1 << 16, 'x');
            while (!stop.load(std::memory_order_relaxed)) {
                if (send(writer, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
            }
            shutdown(writer, SHUT_WR);
        });
        threads.emplace_back([reader, &received] {
            std::vector<char> block(1 << 16);
            ssize_t n;
            while ((n = recv(reader, block.data(), block.size(), 0)) > 0) {
                received.fetch_add(static_cast<unsigned long long>(n), std::memory_order_relaxed);
            }
        });
    }
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    unsigned long long bytes = received.load();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    for (auto& thread : threads) thread.join();
    for (int fd : sockets) close(fd);
    close(listener);
    std::printf("ceiling streams %u bytes %llu seconds %.3f MBps %.1f\n", cores, bytes, elapsed,
                static_cast<double>(bytes) / elapsed / 1e6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return options.ceiling ? runCeiling(options) : runClients(options);
}
