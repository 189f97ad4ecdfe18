// Many clients on 127.0.0.1 against one update-server for a fixed time,
// spread over one event loop per core: each asks for the package, then fetches the package's
// files round and round, and the bytes of payload received are counted. By
// default they speak the base protocol, one chunk at a time; with --fast and
// the package file (for the listed sizes) they take the server's fast-mode
// offer as our client does: the largest chunk offered, and requests kept in
// flight across files up to the window offered (at most 16), topped up once
// half of them are answered. With --ceiling
// it measures instead what loopback TCP itself carries on this machine: one
// sending and one receiving thread per core, 64 KiB writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "list_format.h"
#include "package_codec.h"
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
    int streams = 0;  // the ceiling's streams; 0: one per core
    bool fast = false;
    std::string packageFile;
};

// What a server offers after byte 114 of its package reply.
constexpr std::size_t kOfferReplyBytes = 124;
constexpr uint8_t kOfferMagic[4] = {'A', 'U', 'F', 'M'};
constexpr std::size_t kClientWindowLimit = 16;
// The field of a file request that carries the wanted chunk size in the fast mode.
constexpr std::size_t kWantedPayloadOffset = 8;

const char kUsage[] =
    "usage: server_load --port N --package NAME --files K [--clients N] [--seconds S]\n"
    "                   [--fast --package-file ROOT/NAME.cms]\n"
    "       server_load --ceiling [--streams N] [--seconds S]\n";

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--ceiling") {
            options->ceiling = true;
            continue;
        }
        if (arg == "--fast") {
            options->fast = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--port") options->port = std::atoi(value);
        else if (arg == "--package") options->package = value;
        else if (arg == "--clients") options->clients = std::atoi(value);
        else if (arg == "--files") options->files = std::atoi(value);
        else if (arg == "--seconds") options->seconds = std::atof(value);
        else if (arg == "--package-file") options->packageFile = value;
        else if (arg == "--streams") options->streams = std::atoi(value);
        else return false;
    }
    if (options->seconds <= 0 || options->seconds > 120) return false;
    if (options->ceiling) return options->streams >= 0 && options->streams <= 1000;
    if (options->fast && options->packageFile.empty()) return false;
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

// The listed sizes of the package's files, by serial from 1; empty when the
// package file cannot be read.
std::vector<uint32_t> listedSizes(const std::string& packageFile, int files) {
    std::FILE* file = std::fopen(packageFile.c_str(), "rb");
    if (file == nullptr) return {};
    std::string package;
    char block[65536];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) != 0) package.append(block, got);
    std::fclose(file);
    std::string text;
    if (!InflatePackage(package, kMaxListBytes, &text)) return {};
    std::vector<uint32_t> sizes;
    for (const ListRecord& record : ParseListRecords(text, kMaxListFiles + 1)) {
        sizes.push_back(static_cast<uint32_t>(record.size));
    }
    if (sizes.size() < static_cast<std::size_t>(files)) return {};
    sizes.resize(static_cast<std::size_t>(files));
    return sizes;
}

// What a client keeps of the frame it is reading: its first bytes (enough
// for the package reply and its offer); the payload is only counted.
constexpr std::size_t kKeptFrameBytes = 128;

struct Client {
    int fd = -1;
    std::vector<uint8_t> out;
    std::size_t sent = 0;
    uint8_t head[kKeptFrameBytes] = {};
    std::size_t frameBytes = 0;  // buffsize + 2, once the first two bytes are in
    std::size_t seen = 0;        // bytes of the current frame received
    bool watchingOut = true;     // asked epoll for writability: requests wait unsent
    bool awaitingPackage = true;
    uint16_t packageId = 0;
    // The base protocol: the one request out.
    uint16_t serial = 1;
    uint32_t offset = 0;
    // The fast mode: the next request to send, and how many are out.
    bool fast = false;
    uint32_t chunk = 0;
    std::size_t window = 1;
    std::size_t inFlight = 0;
    uint16_t nextSerial = 1;
    uint32_t nextOffset = 0;
};

void appendFileRequest(Client* client, uint16_t serial, uint32_t offset, uint32_t wanted) {
    std::size_t at = client->out.size();
    client->out.resize(at + wire::kFileRequestBytes);
    wire::BuildFileRequest(client->out.data() + at, client->packageId, serial, offset);
    wire::WriteLe32(client->out.data() + at + kWantedPayloadOffset, wanted);
}

void dropSent(Client* client) {
    client->out.erase(client->out.begin(), client->out.begin() + static_cast<long>(client->sent));
    client->sent = 0;
}

void queueFileRequest(Client* client) {
    dropSent(client);
    appendFileRequest(client, client->serial, client->offset, 0);
}

// Requests ahead, in order, through every file and round again, as far as
// the window lets; topped up once half of it is answered, as our client does.
void fillWindow(Client* client, const std::vector<uint32_t>& sizes) {
    dropSent(client);
    if (client->inFlight > client->window / 2) return;
    while (client->inFlight < client->window) {
        appendFileRequest(client, client->nextSerial, client->nextOffset, client->chunk);
        ++client->inFlight;
        client->nextOffset += client->chunk;
        if (client->nextOffset >= sizes[client->nextSerial - 1]) {
            client->nextSerial = static_cast<uint16_t>(client->nextSerial % sizes.size() + 1);
            client->nextOffset = 0;
        }
    }
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

// Writability is watched only while requests wait unsent: level-triggered
// EPOLLOUT on an idle socket would wake the loop for nothing.
void watchOutput(int epoll, Client* client, uint64_t index) {
    bool pending = client->sent < client->out.size();
    if (pending == client->watchingOut) return;
    epoll_event event{};
    event.events = EPOLLIN | (pending ? EPOLLOUT : 0u);
    event.data.u64 = index;
    epoll_ctl(epoll, EPOLL_CTL_MOD, client->fd, &event);
    client->watchingOut = pending;
}

struct Tally {
    unsigned long long payloadBytes = 0;
    unsigned long long frames = 0;
    unsigned long long refusals = 0;
    int connected = 0;
    int fastClients = 0;
    int failed = 0;
};

// One whole frame of a client: take the package reply's number and offer, or
// count a chunk; then queue what the client asks next. False: give up on it.
bool onFrame(const Options& options, const std::vector<uint32_t>& sizes, Client* client, Tally* tally) {
    const uint8_t* frame = client->head;
    const std::size_t frameBytes = client->frameBytes;
    ++tally->frames;
    if (client->awaitingPackage) {
        client->awaitingPackage = false;
        client->packageId = frameBytes >= 114 ? wire::ReadLe16(frame + 112) : 0xFFFF;
        if (client->packageId == 0xFFFF) return false;
        if (options.fast && frameBytes >= kOfferReplyBytes &&
            std::memcmp(frame + 114, kOfferMagic, sizeof kOfferMagic) == 0 && wire::ReadLe16(frame + 118) >= 1 &&
            wire::ReadLe16(frame + 120) >= 1 && wire::ReadLe16(frame + 122) >= 1) {
            client->fast = true;
            client->chunk = wire::ReadLe16(frame + 120);
            client->window = std::min<std::size_t>(wire::ReadLe16(frame + 122), kClientWindowLimit);
            ++tally->fastClients;
        }
    } else {
        uint8_t flag = frameBytes >= 3 ? frame[2] : 0;
        std::size_t payload = frameBytes >= 3 ? frameBytes - 3 : 0;
        tally->payloadBytes += payload;
        if (flag == wire::kChunkRefused) ++tally->refusals;
        if (client->fast) {
            --client->inFlight;
        } else {
            client->offset += static_cast<uint32_t>(payload);
            if (flag == wire::kChunkLast || flag == wire::kChunkRefused) {
                client->serial = static_cast<uint16_t>(client->serial % options.files + 1);
                client->offset = 0;
            }
        }
    }
    if (client->fast) {
        fillWindow(client, sizes);
    } else {
        queueFileRequest(client);
    }
    return flush(client);
}

// Feeds received bytes through the client's frames without copying payload.
bool onBytes(const Options& options, const std::vector<uint32_t>& sizes, Client* client, const uint8_t* data,
             std::size_t count, Tally* tally) {
    while (count > 0) {
        std::size_t want = client->seen < 2 ? 2 - client->seen : client->frameBytes - client->seen;
        std::size_t take = std::min(want, count);
        if (client->seen < kKeptFrameBytes) {
            std::memcpy(client->head + client->seen, data, std::min(take, kKeptFrameBytes - client->seen));
        }
        client->seen += take;
        data += take;
        count -= take;
        if (client->seen == 2) client->frameBytes = 2 + wire::ReadLe16(client->head);
        if (client->seen >= 2 && client->seen == client->frameBytes) {
            client->seen = 0;
            if (!onFrame(options, sizes, client, tally)) return false;
        }
    }
    return true;
}

// One event loop over its share of the clients, until the end.
void runLoop(const Options& options, const std::vector<uint32_t>& sizes, std::vector<Client>* clients,
             std::size_t first, Clock::time_point end, Tally* tally) {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    for (std::size_t i = 0; i < clients->size(); ++i) {
        Client& client = (*clients)[i];
        client.fd = connectLoopback(options.port);
        if (client.fd < 0) continue;
        ++tally->connected;
        // Spread the clients over the files so they do not all read the same one.
        client.serial = static_cast<uint16_t>(1 + (first + i) % static_cast<std::size_t>(options.files));
        client.nextSerial = client.serial;
        client.out.assign(wire::kPackageRequestBytes, 0);
        wire::BuildPackageRequest(client.out.data(), options.package);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, client.fd, &event);
    }
    std::vector<uint8_t> buffer(1 << 18);
    std::vector<epoll_event> events(1024);
    while (Clock::now() < end) {
        int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 50);
        for (int e = 0; e < ready; ++e) {
            Client& client = (*clients)[events[e].data.u64];
            if (client.fd < 0) continue;
            bool alive = true;
            if (events[e].events & EPOLLOUT) alive = flush(&client);
            if (alive && (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
                ssize_t n = recv(client.fd, buffer.data(), buffer.size(), 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    alive = false;
                } else if (n > 0) {
                    alive = onBytes(options, sizes, &client, buffer.data(), static_cast<std::size_t>(n), tally);
                }
            }
            if (alive) watchOutput(epoll, &client, events[e].data.u64);
            if (!alive) {
                ++tally->failed;
                close(client.fd);
                client.fd = -1;
            }
        }
    }
    for (auto& client : *clients) {
        if (client.fd >= 0) close(client.fd);
    }
    close(epoll);
}

int runClients(const Options& options) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<uint32_t> sizes;
    if (options.fast) {
        sizes = listedSizes(options.packageFile, options.files);
        if (sizes.empty()) {
            std::fprintf(stderr, "cannot read %d listed sizes from %s\n", options.files,
                         options.packageFile.c_str());
            return 1;
        }
    }
    // One loop per core, as the server has, so that the clients are not held
    // to one core while the server may use all of them.
    unsigned loops = std::max(1u, std::thread::hardware_concurrency());
    loops = std::min<unsigned>(loops, static_cast<unsigned>(options.clients));
    std::vector<std::vector<Client>> shares(loops);
    std::vector<Tally> tallies(loops);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    std::size_t first = 0;
    for (unsigned i = 0; i < loops; ++i) {
        std::size_t count = static_cast<std::size_t>(options.clients) / loops +
                            (i < static_cast<unsigned>(options.clients) % loops ? 1 : 0);
        shares[i].resize(count);
        threads.emplace_back(runLoop, std::cref(options), std::cref(sizes), &shares[i], first, end, &tallies[i]);
        first += count;
    }
    for (auto& thread : threads) thread.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Tally all;
    for (const Tally& tally : tallies) {
        all.payloadBytes += tally.payloadBytes;
        all.frames += tally.frames;
        all.refusals += tally.refusals;
        all.connected += tally.connected;
        all.fastClients += tally.fastClients;
        all.failed += tally.failed;
    }
    // The clients share the machine with the server: their own CPU says how
    // much of it they took.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    std::printf("clients %d connected %d dropped %d frames %llu refused %llu bytes %llu "
                "seconds %.3f MBps %.1f client_cpu %.0f%% fast %d\n",
                options.clients, all.connected, all.failed, all.frames, all.refusals, all.payloadBytes, elapsed,
                static_cast<double>(all.payloadBytes) / elapsed / 1e6, 100 * cpu / elapsed, all.fastClients);
    return all.connected == options.clients ? 0 : 1;
}

int runCeiling(const Options& options) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1024) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listener");
        return 1;
    }
    unsigned cores = options.streams > 0 ? static_cast<unsigned>(options.streams) : std::thread::hardware_concurrency();
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
