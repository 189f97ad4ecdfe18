// The server's one thread: an epoll loop over the listening socket, the
// clients and a signal descriptor for SIGINT and SIGTERM. Who is served and
// who waits is the admission policy's to say.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "admission_policy.h"
#include "catalog_watch.h"
#include "client_session.h"
#include "close_reason.h"
#include "connection_clock.h"
#include "package_catalog.h"
#include "server_options.h"
#include "server_stats.h"

// Written under a temporary name first so a reader never sees a partial number.
bool WritePortFile(const std::string& path, uint16_t port);

class EventLoop {
public:
    EventLoop(const ServerOptions& options, PackageCatalog& catalog);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Binds, listens, writes the port file. SIGINT and SIGTERM must already be
    // blocked in the calling thread.
    bool Open(std::string* error);
    // Serves until SIGINT or SIGTERM, then finishes the replies in flight
    // (a second signal cuts that short); 0 on a clean stop.
    int Run();
    uint16_t port() const { return port_; }
    // Counts into stats, shared with the other loops of a pool; only a loop
    // that reports writes the summary lines and the start, reload and stop
    // lines, so that the operator reads each once per server.
    void shareStats(ServerStats* stats, bool reports)
    {
        stats_ = stats;
        reportsStats_ = reports;
    }
    // Admits under policy, shared with the other loops of a pool: one client
    // limit and one count per address for the whole server.
    void sharePolicy(AdmissionPolicy* policy) { policy_ = policy; }
    // Called when this loop begins to drain (false) and when a second signal
    // cuts its drain short (true), so that the other loops of a pool follow.
    void setStopHook(std::function<void(bool cutShort)> hook) { stopHook_ = std::move(hook); }

private:
    // As many file requests as a fast-mode client keeps in flight by default.
    static constexpr std::size_t kReadAheadBytes = wire::kDefaultFastWindow * wire::kFileRequestBytes;

    struct Connection {
        int fd = -1;
        std::string peer;     // address:port, for the log
        std::string address;  // what the per-address limits count: AddressGroup
        ConnectionClock clock;
        SlotState state = SlotState::Waiting;
        uint32_t events = 0;
        ClientSession session;
        std::string request;  // the bytes of the request arriving, to name what it asks for
        // The reply going out: its package, its bytes so far, and the file it
        // finishes (serial and size) when it is a file's last chunk.
        uint16_t replyPackage = 0xFFFF;
        std::string replyPackageName;  // empty for a package the server does not have
        std::string replyBuild;        // the label of the build it came from, or empty
        std::string servedFrom;        // the build of its last reply from one, for its log lines
        uint64_t replyBytes = 0;
        bool replyFinishes = false;
        uint16_t finishingSerial = 0;
        uint64_t finishingSize = 0;
        uint64_t files = 0;
        uint64_t bytes = 0;
        int64_t readyAt = 0;   // when it was seen to have spoken
        int64_t waitedMs = 0;  // from then to its slot
        uint64_t parked = 0;   // times it gave its slot up while silent
        bool everServed = false;
        // Requests read ahead of their turn: those a fast-mode client sent
        // together come in with one receive call.
        uint8_t input[kReadAheadBytes];
        std::size_t inputStart = 0;
        std::size_t inputEnd = 0;
    };

    void acceptClients();
    // Gives free slots to the waiting connections that have spoken, oldest first.
    void admitReady();
    void onWaitingEvent(Connection& connection, uint32_t events);
    // Closes the oldest connection of address that is silent past the pause.
    bool makeRoomFor(const std::string& address, int64_t now);
    // The connection the admission policy names to make room for a newcomer
    // while descriptors are short; -1 when none may go.
    int connectionToMakeRoom() const;
    // While descriptors are short: true when room was made for a newcomer
    // that waits in the listen queue, or when none waits yet and room could
    // be made once one comes (accepting then stays on, so that it wakes the
    // loop); false when accepting must pause.
    bool makeRoomForNewcomer(bool* made);
    void onReadable(Connection& connection);
    void onReplyReady(Connection& connection, const std::string& line);
    void onReplyDone(Connection& connection);
    // True when the reply went out whole and the connection stays open.
    bool flush(Connection& connection);
    void watch(Connection& connection, uint32_t events);
    void closeConnection(int fd, CloseReason why);
    void closeExpired();
    // Served connections silent between requests give their slots to those that wait.
    void parkIdle();
    void publishNow();
    void beginDrain(uint32_t signal);
    // Takes a new catalogue in, and the room for clients left beside it.
    void refreshCatalog();
    // Leaves new connections waiting in the backlog while the descriptors
    // the admitted clients need could run short.
    bool descriptorsShort() const;
    void pauseAccepting(const std::string& why);
    void resumeAccepting();
    void logDebug(const std::string& line) const;
    void logInfo(const std::string& line) const;
    // Start, reload and stop: once per server.
    void logServer(const std::string& line) const;
    void logAlways(const std::string& line) const;

    const ServerOptions& options_;
    PackageCatalog& catalog_;
    SessionRules rules_;
    AdmissionPolicy ownPolicy_;
    AdmissionPolicy* policy_ = &ownPolicy_;
    ServerStats ownStats_;
    ServerStats* stats_ = &ownStats_;
    bool reportsStats_ = true;
    std::size_t readyCount_ = 0;  // connections of this loop that spoke and wait for a slot
    bool newlyReady_ = false;     // one of them spoke since admitReady last looked
    uint64_t slotsFreedSeen_ = 0;  // the policy's slotsFreed() when admitReady last looked
    int64_t backlogShown_ = 0;    // this loop's share of stats_->backlog
    bool draining_ = false;
    std::function<void(bool cutShort)> stopHook_;
    int64_t drainDeadline_ = 0;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int signalFd_ = -1;
    uint16_t port_ = 0;
    CatalogWatch watch_;
    std::size_t descriptorLimit_ = 0;
    std::size_t clientRoom_ = 0;  // connections of this loop within the descriptor limit
    bool accepting_ = true;
    std::map<int, std::unique_ptr<Connection>> connections_;
};
