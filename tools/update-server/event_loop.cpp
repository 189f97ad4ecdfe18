#include "event_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "descriptor_limit.h"
#include "listen_socket.h"

namespace {

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How long a stop waits for the replies in flight before it closes them.
constexpr int64_t kDrainMs = 10000;

}  // namespace

bool WritePortFile(const std::string& path, uint16_t port)
{
    const std::string temp = path + ".tmp-" + std::to_string(getpid());
    std::FILE* file = std::fopen(temp.c_str(), "w");
    if (!file) return false;
    bool ok = std::fprintf(file, "%u\n", static_cast<unsigned>(port)) > 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

EventLoop::EventLoop(const ServerOptions& options, PackageCatalog& catalog) : options_(options), catalog_(catalog)
{
    rules_.chunkPayload = options.chunk;
    rules_.fastChunkPayload = static_cast<std::size_t>(options.fastChunk);
    rules_.fastWindow = options.fastWindow;
    rules_.dropAfter = options.dropAfter;
    rules_.refuseSerial = options.refuseSerial;
    clockRules_.idleMs = static_cast<int64_t>(options.idleTimeoutSeconds) * 1000;
    clockRules_.requestMs = static_cast<int64_t>(options.requestTimeoutSeconds) * 1000;
}

EventLoop::~EventLoop()
{
    for (auto& entry : connections_) close(entry.first);
    if (listenFd_ >= 0) close(listenFd_);
    if (signalFd_ >= 0) close(signalFd_);
    if (epollFd_ >= 0) close(epollFd_);
}

bool EventLoop::Open(std::string* error)
{
    listenFd_ = OpenListenSocket(options_.bind, options_.port,
                                 options_.loops > 1 ? SocketUse::ListenShared : SocketUse::Listen, error);
    if (listenFd_ < 0) return false;
    port_ = LocalPort(listenFd_);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    signalFd_ = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (signalFd_ < 0 || epollFd_ < 0) {
        *error = std::string("cannot set up the event loop: ") + std::strerror(errno);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event);
    event.data.fd = signalFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, signalFd_, &event);
    if (watch_.Open(options_.root)) {
        event.data.fd = watch_.fd();
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, watch_.fd(), &event);
    }
    descriptorLimit_ = RaiseDescriptorLimit();

    if (!options_.portFile.empty() && !WritePortFile(options_.portFile, port_)) {
        *error = "cannot write " + options_.portFile + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int EventLoop::Run()
{
    refreshCatalog();
    log("listening on " + options_.bind + ":" + std::to_string(port_) + ", " +
        std::to_string(catalog_.packageCount()) + " packages, room for " +
        std::to_string(ClientsWithinDescriptors(descriptorLimit_, catalog_.packageCount() * options_.loops) /
                       options_.loops) +
        " clients within the descriptor limit of " + std::to_string(descriptorLimit_));
    std::vector<epoll_event> events(256);
    int64_t lastSweep = NowMs();
    int64_t lastSummary = lastSweep;
    for (;;) {
        if (draining_ && (connections_.empty() || NowMs() >= drainDeadline_)) {
            log("stopped, " + std::to_string(connections_.size()) + " replies cut short");
            return 0;
        }
        int count = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), 1000);
        if (count < 0) {
            if (errno == EINTR) continue;
            log(std::string("epoll_wait failed: ") + std::strerror(errno));
            return 1;
        }
        // A new build is taken in before any request of this wake-up is
        // answered; without a watch, the catalogue is checked once a second.
        bool rootChanged = false;
        for (int i = 0; i < count; ++i) rootChanged |= events[i].data.fd == watch_.fd() && watch_.fd() >= 0;
        if (rootChanged) {
            watch_.Drain();
            refreshCatalog();
        } else if (watch_.fd() < 0 && NowMs() - lastSweep >= 1000) {
            refreshCatalog();
        }
        // Newcomers are taken after the batch, so that an event of a
        // connection closed for one of them never reaches its successor.
        bool newcomers = false;
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == watch_.fd()) continue;
            if (fd == signalFd_) {
                signalfd_siginfo info{};
                if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    if (draining_) {
                        if (stopHook_) stopHook_(true);
                        log("signal " + std::to_string(info.ssi_signo) + " again: stopping, " +
                            std::to_string(connections_.size()) + " replies cut short");
                        return 0;
                    }
                    beginDrain(info.ssi_signo);
                }
                continue;
            }
            if (fd == listenFd_) {
                newcomers = true;
                continue;
            }
            auto found = connections_.find(fd);
            if (found == connections_.end()) continue;  // closed earlier in this batch
            Connection& connection = *found->second;
            if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                ++stats_->errors;
                closeConnection(fd, "connection lost");
            } else if (events[i].events & EPOLLOUT) {
                flush(connection);
            } else if (events[i].events & EPOLLIN) {
                onReadable(connection);
            }
        }
        if (newcomers && !draining_) acceptClients();
        const int64_t now = NowMs();
        if (now - lastSweep >= 1000) {
            lastSweep = now;
            closeExpired();
        }
        if (now - lastSummary >= static_cast<int64_t>(options_.statsIntervalSeconds) * 1000) {
            if (reportsStats_) logAlways(stats_->TakeSummary((now - lastSummary + 500) / 1000));
            lastSummary = now;
        }
    }
}

void EventLoop::acceptClients()
{
    for (;;) {
        if (descriptorsShort()) {
            pauseAccepting(std::to_string(connections_.size()) + " clients fill the descriptor limit of " +
                           std::to_string(descriptorLimit_));
            return;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                pauseAccepting(std::string("accept: ") + std::strerror(errno));
                return;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) log(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const std::string peerName = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
        if (connections_.size() >= options_.maxClients && !evictFor(peerName)) {
            log(peerName + " turned away: " + std::to_string(connections_.size()) + " connections already");
            ++stats_->errors;
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peerName;
        connection->clock = ConnectionClock(NowMs());
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            continue;
        }
        connection->events = EPOLLIN;
        connections_[fd] = std::move(connection);
        ++stats_->connected;
        ++stats_->accepted;
    }
}

void EventLoop::onReadable(Connection& connection)
{
    for (;;) {
        std::size_t wanted = connection.session.receiveWanted();
        if (wanted == 0) return;
        ssize_t got = recv(connection.fd, connection.session.receiveSpace(), wanted, 0);
        if (got == 0) {
            closeConnection(connection.fd, nullptr);
            return;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                ++stats_->errors;
                closeConnection(connection.fd, "receive failed");
            }
            return;
        }
        connection.clock.received(NowMs());
        std::string line;
        ClientSession::Step step =
            connection.session.onReceived(static_cast<std::size_t>(got), catalog_, rules_, &line);
        if (step == ClientSession::Step::Close) {
            ++stats_->errors;
            closeConnection(connection.fd, "not a request frame");
            return;
        }
        if (step == ClientSession::Step::ReplyReady) {
            ++stats_->requests;
            log(connection.peer + " " + line);
            flush(connection);
            return;
        }
    }
}

void EventLoop::flush(Connection& connection)
{
    while (connection.session.replyPending()) {
        ssize_t sent;
        if (connection.session.pendingBytes() > 0) {
            // A chunk's header waits for its payload (MSG_MORE) so that the
            // two leave in one segment.
            const PayloadPiece payload = connection.session.pendingPayload();
            sent = send(connection.fd, connection.session.pendingReply(), connection.session.pendingBytes(),
                        MSG_NOSIGNAL | (payload.bytes > 0 ? MSG_MORE : 0));
        } else {
            const PayloadPiece payload = connection.session.pendingPayload();
            off_t offset = static_cast<off_t>(payload.offset);
            sent = sendfile(connection.fd, payload.fd, &offset, payload.bytes);
            if (sent == 0) {
                // The file shrank under us after its header promised more:
                // only closing tells the client that the chunk is not whole.
                ++stats_->errors;
                closeConnection(connection.fd, "served file shrank");
                return;
            }
        }
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watch(connection, EPOLLOUT);
                return;
            }
            ++stats_->errors;
            closeConnection(connection.fd, "send failed");
            return;
        }
        stats_->bytesServed += static_cast<uint64_t>(sent);
        connection.clock.sent(NowMs(), connection.session.onSent(static_cast<std::size_t>(sent)));
    }
    if (connection.session.dropDue()) {
        closeConnection(connection.fd, "dropped on purpose (--drop-after)");
        return;
    }
    if (draining_) {
        // The reply is whole; the end of the stream follows it, and input the
        // client sent meanwhile is read away so that the close is no reset
        // that could destroy what it has not read yet.
        shutdown(connection.fd, SHUT_WR);
        char discard[4096];
        while (recv(connection.fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
        }
        closeConnection(connection.fd, nullptr);
        return;
    }
    watch(connection, EPOLLIN);
}

void EventLoop::watch(Connection& connection, uint32_t events)
{
    if (connection.events == events) return;
    epoll_event event{};
    event.events = events;
    event.data.fd = connection.fd;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, connection.fd, &event);
    connection.events = events;
}

void EventLoop::closeConnection(int fd, const char* why)
{
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    if (why) log(found->second->peer + " closed: " + why);
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections_.erase(found);
    --stats_->connected;
    if (!accepting_) resumeAccepting();
}

bool EventLoop::descriptorsShort() const
{
    // Every loop holds its own catalogue and a share of the clients.
    const std::size_t loops = options_.loops;
    return connections_.size() >= ClientsWithinDescriptors(descriptorLimit_, catalog_.packageCount() * loops) / loops;
}

void EventLoop::pauseAccepting(const std::string& why)
{
    if (!accepting_) return;
    epoll_event event{};
    event.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &event);
    accepting_ = false;
    log("not accepting new connections (" + why + ") until a client leaves");
}

void EventLoop::resumeAccepting()
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &event);
    accepting_ = true;
}

void EventLoop::closeExpired()
{
    const int64_t now = NowMs();
    std::vector<std::pair<int, const char*>> expired;
    for (const auto& entry : connections_) {
        if (const char* why = entry.second->clock.expired(now, clockRules_)) expired.emplace_back(entry.first, why);
    }
    for (const auto& entry : expired) {
        ++stats_->errors;
        closeConnection(entry.first, entry.second);
    }
}

bool EventLoop::evictFor(const std::string& newcomer)
{
    const int64_t now = NowMs();
    Connection* victim = nullptr;
    for (const auto& entry : connections_) {
        Connection& candidate = *entry.second;
        if (candidate.clock.evictionRank(now) == 0) continue;
        if (victim == nullptr || candidate.clock.evictBefore(victim->clock, now)) victim = &candidate;
    }
    if (victim == nullptr) return false;
    const std::string reason = "gave its slot to " + newcomer + " after " +
                               std::to_string(now - victim->clock.lastActive()) + " ms without progress";
    ++stats_->errors;
    closeConnection(victim->fd, reason.c_str());
    return true;
}

void EventLoop::beginDrain(uint32_t signal)
{
    draining_ = true;
    if (stopHook_) stopHook_(false);
    drainDeadline_ = NowMs() + kDrainMs;
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
    close(listenFd_);
    listenFd_ = -1;
    std::vector<int> quiet;
    for (const auto& entry : connections_) {
        if (!entry.second->session.replyPending()) quiet.push_back(entry.first);
    }
    for (int fd : quiet) closeConnection(fd, nullptr);
    log("signal " + std::to_string(signal) + ": no longer accepting, " + std::to_string(quiet.size()) +
        " connections closed, finishing " + std::to_string(connections_.size()) + " replies in flight");
}

void EventLoop::refreshCatalog()
{
    std::vector<std::string> messages;
    catalog_.Refresh(&messages);
    for (const std::string& message : messages) log(message);
}

void EventLoop::log(const std::string& line) const
{
    if (options_.quiet) return;
    logAlways(line);
}

void EventLoop::logAlways(const std::string& line) const
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s update-server: %s\n", stamp, line.c_str());
}
