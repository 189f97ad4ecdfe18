#include "event_loop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "descriptor_limit.h"
#include "listen_socket.h"
#include "package_manifest.h"
#include "wire_protocol.h"

namespace {

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How long a stop waits for the replies in flight before it closes them.
constexpr int64_t kDrainMs = 10000;
// A loop whose clients wait for a slot looks this often whether another
// loop freed one.
constexpr int kReadyPollMs = 50;
constexpr uint32_t kWaitForBytes = EPOLLIN | EPOLLONESHOT;

// Connections that completed the handshake and wait in the kernel for accept.
int64_t ListenQueue(int listenFd)
{
    if (listenFd < 0) return 0;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(listenFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    return info.tcpi_unacked;  // for a listening socket: its accept queue
}

bool NewcomerWaits(int listenFd)
{
    pollfd listen{listenFd, POLLIN, 0};
    return listenFd >= 0 && poll(&listen, 1, 0) == 1 && (listen.revents & POLLIN) != 0;
}

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

EventLoop::EventLoop(const ServerOptions& options, PackageCatalog& catalog)
    : options_(options), catalog_(catalog), ownPolicy_(AdmissionRulesOf(options))
{
    rules_.chunkPayload = options.chunk;
    rules_.fastChunkPayload = static_cast<std::size_t>(options.fastChunk);
    rules_.fastWindow = options.fastWindow;
    rules_.blockSums = options.blockSums;
    rules_.deflate = options.deflate;
    rules_.dropAfter = options.dropAfter;
    rules_.refuseSerial = options.refuseSerial;
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
    if (!options_.mirrors.empty() && !(rules_.mirrors = MirrorList::Create(options_.mirrors, error))) return false;

    if (!options_.portFile.empty() && !WritePortFile(options_.portFile, port_)) {
        *error = "cannot write " + options_.portFile + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int EventLoop::Run()
{
    refreshCatalog();
    const AdmissionRules& admission = policy_->rules();
    logServer("listening on " + EndpointText(options_.bind, port_) + ", " +
              std::to_string(catalog_.packageCount()) + " packages, " + std::to_string(options_.loops) +
              " loops; serving up to " + std::to_string(admission.maxClients) + " clients at once (" +
              std::to_string(admission.maxPerAddress) + " per address), room for " +
              std::to_string(clientRoom_ * options_.loops) + " connections within the descriptor limit of " +
              std::to_string(descriptorLimit_) +
              "; idle time-out " + std::to_string(options_.idleTimeoutSeconds) + " s, request time-out " +
              std::to_string(options_.requestTimeoutSeconds) + " s");
    for (std::size_t i = 0; i < options_.mirrors.size(); ++i) {
        logServer("mirror " + std::to_string(i + 1) + " of the signed builds' files: " + options_.mirrors[i]);
    }
    std::vector<epoll_event> events(256);
    int64_t lastSweep = NowMs();
    int64_t lastSummary = lastSweep;
    for (;;) {
        if (draining_ && (connections_.empty() || NowMs() >= drainDeadline_)) {
            logServer("stopped, " + std::to_string(connections_.size()) + " replies cut short");
            return 0;
        }
        const int timeout = readyCount_ > 0 && !draining_ ? kReadyPollMs : 1000;
        int count = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), timeout);
        if (count < 0) {
            if (errno == EINTR) continue;
            logAlways(std::string("epoll_wait failed: ") + std::strerror(errno));
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
                        logServer("signal " + std::to_string(info.ssi_signo) + " again: stopping, " +
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
            if (connection.state != SlotState::Served) {
                onWaitingEvent(connection, events[i].events);
            } else if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                closeConnection(fd, CloseReason::ConnectionLost);
            } else if (events[i].events & EPOLLOUT) {
                if (flush(connection) && connection.inputStart < connection.inputEnd) onReadable(connection);
            } else if (events[i].events & EPOLLIN) {
                onReadable(connection);
            }
        }
        if (newcomers && !draining_) acceptClients();
        if (!draining_) admitReady();
        const int64_t now = NowMs();
        if (now - lastSweep >= 1000) {
            lastSweep = now;
            closeExpired();
            parkIdle();
            const int64_t queue = ListenQueue(listenFd_);
            // While accepting is paused no newcomer wakes the loop: room that
            // can be made since is looked for here.
            bool made = false;
            if (!accepting_ && !draining_ && makeRoomForNewcomer(&made) && !made) resumeAccepting();
            stats_->backlog += queue - backlogShown_;
            backlogShown_ = queue;
            if (reportsStats_) stats_->dropGoneBuilds(now);
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
            bool made = false;
            if (makeRoomForNewcomer(&made)) {
                if (made) continue;
                return;
            }
            pauseAccepting(std::to_string(connections_.size()) + " connections fill the descriptor limit of " +
                           std::to_string(descriptorLimit_));
            return;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                pauseAccepting(std::string("accept: ") + std::strerror(errno));
                return;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) logAlways(std::string("accept failed: ") + std::strerror(errno));
            return;
        }
        const std::string address = AddressGroup(peer);
        const std::string peerName = PeerName(peer);
        const int64_t now = NowMs();
        if (!policy_->arrive(address) && !(makeRoomFor(address, now) && policy_->arrive(address))) {
            stats_->countRefusal(RefuseReason::AddressFull);
            logInfo(peerName + " refused: " + RefuseReasonText(RefuseReason::AddressFull));
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peerName;
        connection->address = address;
        connection->clock = ConnectionClock(now);
        epoll_event event{};
        event.events = kWaitForBytes;
        event.data.fd = fd;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            policy_->leave(address, false);
            close(fd);
            continue;
        }
        connection->events = kWaitForBytes;
        connections_[fd] = std::move(connection);
        ++stats_->accepted;
        logInfo(peerName + " connected");
    }
    publishNow();
}

void EventLoop::onWaitingEvent(Connection& connection, uint32_t events)
{
    if (connection.state == SlotState::Ready) return;
    char byte;
    const ssize_t got = recv(connection.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) {
        connection.state = SlotState::Ready;
        connection.readyAt = NowMs();
        ++readyCount_;
        newlyReady_ = true;
        policy_->readyChanged(1);
        return;
    }
    if (got == 0) {
        closeConnection(connection.fd, CloseReason::ClientLeft);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        closeConnection(connection.fd, CloseReason::ConnectionLost);
    } else if (events & (EPOLLERR | EPOLLHUP)) {
        closeConnection(connection.fd, CloseReason::ConnectionLost);
    } else {
        connection.events = 0;  // the one-shot is spent: arm it again
        watch(connection, kWaitForBytes);
    }
}

void EventLoop::admitReady()
{
    // Whether a waiting client may take a slot changes only when one of this
    // loop's clients spoke or a slot was given back anywhere in the server:
    // looking on every wake-up would peek into every waiting client's socket
    // between any two chunks served.
    const uint64_t freed = policy_->slotsFreed();
    if (readyCount_ == 0 || (!newlyReady_ && freed == slotsFreedSeen_)) return;
    if (policy_->served() >= policy_->rules().maxClients) return;
    newlyReady_ = false;
    slotsFreedSeen_ = freed;
    // A client writes each request whole: those that did go before those
    // trickling bytes, and within each, the earliest connected first.
    std::vector<std::pair<bool, Connection*>> ready;
    for (const auto& entry : connections_) {
        Connection* connection = entry.second.get();
        if (connection->state != SlotState::Ready) continue;
        uint8_t head[wire::kPackageRequestBytes];
        const ssize_t got = recv(connection->fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
        const bool whole = got > 0 && wire::MissingRequestBytes(head, static_cast<std::size_t>(got)) == 0;
        ready.emplace_back(!whole, connection);
    }
    std::sort(ready.begin(), ready.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return !a.first;
        return a.second->clock.openedAt() < b.second->clock.openedAt();
    });
    bool admitted = false;
    for (const auto& candidate : ready) {
        Connection* connection = candidate.second;
        if (policy_->served() >= policy_->rules().maxClients) break;
        if (!policy_->claim(connection->address)) continue;
        admitted = true;
        connection->state = SlotState::Served;
        connection->everServed = true;
        connection->waitedMs += NowMs() - connection->readyAt;
        --readyCount_;
        policy_->readyChanged(-1);
        connection->events = 0;
        watch(*connection, EPOLLIN);
        onReadable(*connection);  // may close it
    }
    if (admitted) publishNow();
}

bool EventLoop::makeRoomFor(const std::string& address, int64_t now)
{
    Connection* oldest = nullptr;
    for (const auto& entry : connections_) {
        Connection& candidate = *entry.second;
        if (candidate.address != address || !SilentPastPause(candidate.clock, candidate.state, now)) continue;
        if (oldest == nullptr || candidate.clock.openedAt() < oldest->clock.openedAt()) oldest = &candidate;
    }
    if (oldest == nullptr) return false;
    closeConnection(oldest->fd, CloseReason::AddressSilent);
    return true;
}

int EventLoop::connectionToMakeRoom() const
{
    std::vector<Occupant> occupants;
    std::vector<int> fds;
    occupants.reserve(connections_.size());
    fds.reserve(connections_.size());
    for (const auto& entry : connections_) {
        occupants.push_back({&entry.second->address, &entry.second->clock, entry.second->state});
        fds.push_back(entry.first);
    }
    const int chosen = ChooseToMakeRoom(occupants, NowMs());
    return chosen < 0 ? -1 : fds[static_cast<std::size_t>(chosen)];
}

bool EventLoop::makeRoomForNewcomer(bool* made)
{
    *made = false;
    const int chosen = connectionToMakeRoom();
    if (chosen < 0) return false;
    if (NewcomerWaits(listenFd_)) {
        closeConnection(chosen, CloseReason::MadeRoom);
        *made = true;
    }
    return true;
}

void EventLoop::onReadable(Connection& connection)
{
    const int fd = connection.fd;
    // One receive call per wake-up, so that a client with many requests in
    // flight is served no more of them in a turn than it had sent.
    bool received = false;
    while (!connection.session.replyPending()) {
        if (connection.inputStart == connection.inputEnd) {
            if (received) break;
            const ssize_t got = recv(fd, connection.input, sizeof connection.input, 0);
            if (got == 0) {
                closeConnection(fd, CloseReason::ClientLeft);
                return;
            }
            if (got < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    closeConnection(fd, CloseReason::ReceiveFailed);
                    return;
                }
                break;
            }
            received = true;
            connection.inputStart = 0;
            connection.inputEnd = static_cast<std::size_t>(got);
        }
        const std::size_t take =
            std::min(connection.session.receiveWanted(), connection.inputEnd - connection.inputStart);
        if (take == 0) break;
        uint8_t* space = connection.session.receiveSpace();
        std::memcpy(space, connection.input + connection.inputStart, take);
        connection.inputStart += take;
        connection.clock.received(NowMs());
        connection.request.append(reinterpret_cast<const char*>(space), take);
        std::string line;
        ClientSession::Step step = connection.session.onReceived(take, catalog_, rules_, &line);
        if (step == ClientSession::Step::Close) {
            closeConnection(fd, CloseReason::NotARequest);
            return;
        }
        if (step == ClientSession::Step::ReplyReady) {
            onReplyReady(connection, line);
            // Closed, or the reply waits for room: the rest of the read-ahead
            // waits with it.
            if (!flush(connection)) return;
        }
    }
}

void EventLoop::onReplyReady(Connection& connection, const std::string& line)
{
    const wire::ParsedRequest request = wire::ParseRequest(
        reinterpret_cast<const uint8_t*>(connection.request.data()), connection.request.size());
    connection.clock.answered(NowMs(), request.kind == wire::RequestKind::File && request.serial != 0);
    ++stats_->requests;
    logDebug(connection.peer + " " + line);
    connection.request.clear();
    const uint8_t* head = connection.session.pendingReply();
    connection.replyBytes = 0;
    connection.replyFinishes = false;
    const PackageBuild* served = connection.session.replyBuild();
    connection.replyBuild = served ? served->label() : std::string();
    if (served) connection.servedFrom = connection.replyBuild;
    if (request.kind == wire::RequestKind::Package) {
        connection.replyPackage = wire::ReadLe16(head + 112);
        connection.replyPackageName = connection.replyPackage != kUnknownPackageId ? request.packageName : "";
        return;
    }
    connection.replyPackage = request.packageId;
    const PackageBuild* bound = connection.session.build();
    const auto current = catalog_.CurrentBuild(request.packageId);
    connection.replyPackageName = bound && bound->id == request.packageId ? bound->name
                                  : current                                ? current->name
                                                                           : "";
    stats_->deflateSaved += connection.session.deflateSaved();
    if ((head[2] & ~wire::kChunkDeflatedBit) == wire::kChunkLast) {
        connection.replyFinishes = true;
        connection.finishingSerial = request.serial;
        connection.finishingSize = request.offset + static_cast<uint64_t>(connection.session.rawPayload());
    }
}

void EventLoop::onReplyDone(Connection& connection)
{
    PackageCounts counts;
    counts.requests = 1;
    counts.bytes = connection.replyBytes;
    if (connection.replyFinishes) {
        counts.filesFinished = 1;
        ++connection.files;
        ++stats_->filesFinished;
        logInfo(connection.peer + " finished file " + std::to_string(connection.replyPackage) + "/" +
                std::to_string(connection.finishingSerial) + ", " + std::to_string(connection.finishingSize) +
                " bytes" + (connection.replyBuild.empty() ? "" : ", " + connection.replyBuild));
    }
    if (connection.replyPackageName.empty()) ++stats_->unknownRequests;
    else stats_->countPackage(connection.replyPackageName, counts, connection.replyBuild);
    connection.replyBytes = 0;
    connection.replyFinishes = false;
}

bool EventLoop::flush(Connection& connection)
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
                closeConnection(connection.fd, CloseReason::FileShrank);
                return false;
            }
        }
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watch(connection, EPOLLOUT);
                return false;
            }
            closeConnection(connection.fd, CloseReason::SendFailed);
            return false;
        }
        stats_->bytesServed += static_cast<uint64_t>(sent);
        connection.bytes += static_cast<uint64_t>(sent);
        connection.replyBytes += static_cast<uint64_t>(sent);
        const bool done = connection.session.onSent(static_cast<std::size_t>(sent));
        connection.clock.sent(NowMs(), done);
        if (done) onReplyDone(connection);
    }
    if (connection.session.dropDue()) {
        closeConnection(connection.fd, CloseReason::DropAfter);
        return false;
    }
    if (draining_) {
        // The reply is whole; the end of the stream follows it, and input the
        // client sent meanwhile is read away so that the close is no reset
        // that could destroy what it has not read yet.
        shutdown(connection.fd, SHUT_WR);
        char discard[4096];
        while (recv(connection.fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
        }
        closeConnection(connection.fd, CloseReason::Stopping);
        return false;
    }
    watch(connection, EPOLLIN);
    return true;
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

void EventLoop::closeConnection(int fd, CloseReason why)
{
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    Connection& connection = *found->second;
    if (connection.replyBytes > 0 && !connection.replyPackageName.empty()) {
        PackageCounts counts;
        counts.bytes = connection.replyBytes;
        stats_->countPackage(connection.replyPackageName, counts, connection.replyBuild);
    }
    policy_->leave(connection.address, connection.state == SlotState::Served);
    if (connection.state == SlotState::Ready) {
        --readyCount_;
        policy_->readyChanged(-1);
    }
    stats_->countClose(why);
    const int64_t lasted = NowMs() - connection.clock.openedAt();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f s", static_cast<double>(lasted) / 1000.0);
    logInfo(connection.peer + " closed: " + CloseReasonText(why) + ", " + std::to_string(connection.files) +
            " files, " + std::to_string(connection.bytes) + " bytes, " + duration +
            (connection.everServed ? ", waited " + std::to_string(connection.waitedMs) + " ms for a slot"
                                          : ", never served") +
            (connection.parked > 0 ? ", gave its slot up " + std::to_string(connection.parked) + " times" : "") +
            (connection.servedFrom.empty() ? "" : ", served from " + connection.servedFrom));
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections_.erase(found);
    publishNow();
    if (!accepting_) resumeAccepting();
}

void EventLoop::publishNow()
{
    stats_->served = policy_->served();
    stats_->waiting = policy_->waiting();
}

bool EventLoop::descriptorsShort() const { return connections_.size() >= clientRoom_; }

void EventLoop::pauseAccepting(const std::string& why)
{
    if (!accepting_) return;
    epoll_event event{};
    event.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &event);
    accepting_ = false;
    ++stats_->loopsPaused;
    logAlways("not accepting new connections (" + why + ") until a client leaves");
}

void EventLoop::resumeAccepting()
{
    if (listenFd_ < 0) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &event);
    accepting_ = true;
    --stats_->loopsPaused;
}

void EventLoop::parkIdle()
{
    const int64_t now = NowMs();
    for (const auto& entry : connections_) {
        if (policy_->ready() == 0 || policy_->served() < policy_->rules().maxClients) return;
        Connection& connection = *entry.second;
        if (connection.state != SlotState::Served || !MayPark(connection.clock, now)) continue;
        policy_->park(connection.address);
        connection.state = SlotState::Waiting;
        ++connection.parked;
        connection.events = 0;
        watch(connection, kWaitForBytes);
    }
}

void EventLoop::closeExpired()
{
    const int64_t now = NowMs();
    std::vector<std::pair<int, CloseReason>> expired;
    for (const auto& entry : connections_) {
        CloseReason why;
        if (Expired(entry.second->clock, entry.second->state, now, policy_->rules(), &why)) {
            expired.emplace_back(entry.first, why);
        }
    }
    for (const auto& entry : expired) closeConnection(entry.first, entry.second);
}

void EventLoop::beginDrain(uint32_t signal)
{
    draining_ = true;
    if (stopHook_) stopHook_(false);
    drainDeadline_ = NowMs() + kDrainMs;
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
    close(listenFd_);
    listenFd_ = -1;
    stats_->backlog -= backlogShown_;
    backlogShown_ = 0;
    if (!accepting_) {
        accepting_ = true;
        --stats_->loopsPaused;
    }
    std::vector<int> quiet;
    for (const auto& entry : connections_) {
        if (!entry.second->session.replyPending()) quiet.push_back(entry.first);
    }
    for (int fd : quiet) closeConnection(fd, CloseReason::Stopping);
    logServer("signal " + std::to_string(signal) + ": no longer accepting, " + std::to_string(quiet.size()) +
              " connections closed, finishing " + std::to_string(connections_.size()) + " replies in flight");
}

void EventLoop::refreshCatalog()
{
    std::vector<std::string> messages;
    if (catalog_.Refresh(&messages)) {
        std::vector<HeldBuild> held;
        for (const auto& build : catalog_.Builds()) {
            held.push_back({build->name, build->label(), SigningLabel(build->signing)});
        }
        stats_->holdBuilds(held, reportsStats_, NowMs());
    }
    for (const std::string& message : messages) logServer(message);
    // Every loop holds its own catalogue and a share of the connections.
    const std::size_t loops = options_.loops;
    clientRoom_ = ClientsWithinDescriptors(descriptorLimit_, catalog_.descriptorsHeld() * loops,
                                           catalog_.packageCount() * loops, DescriptorsPerClient(rules_.deflate)) /
                  loops;
}

void EventLoop::logDebug(const std::string& line) const
{
    if (options_.logLevel == LogLevel::Debug) logAlways(line);
}

void EventLoop::logInfo(const std::string& line) const
{
    if (options_.logLevel != LogLevel::Warn) logAlways(line);
}

void EventLoop::logServer(const std::string& line) const
{
    if (reportsStats_) logAlways(line);
    else logDebug(line);
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
