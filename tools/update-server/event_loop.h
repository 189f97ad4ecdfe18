// The server's one thread: an epoll loop over the listening socket, the
// clients and a signal descriptor for SIGINT and SIGTERM.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "catalog_watch.h"
#include "client_session.h"
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
    // that reports writes the summary lines.
    void shareStats(ServerStats* stats, bool reports)
    {
        stats_ = stats;
        reportsStats_ = reports;
    }
    // Called when this loop begins to drain (false) and when a second signal
    // cuts its drain short (true), so that the other loops of a pool follow.
    void setStopHook(std::function<void(bool cutShort)> hook) { stopHook_ = std::move(hook); }

private:
    struct Connection {
        int fd = -1;
        std::string peer;
        ConnectionClock clock;
        uint32_t events = 0;
        ClientSession session;
    };

    void acceptClients();
    void onReadable(Connection& connection);
    void flush(Connection& connection);
    void watch(Connection& connection, uint32_t events);
    void closeConnection(int fd, const char* why);
    void closeExpired();
    bool evictFor(const std::string& newcomer);
    void beginDrain(uint32_t signal);
    void refreshCatalog();
    // Leaves new connections waiting in the backlog while the descriptors
    // the admitted clients need could run short.
    bool descriptorsShort() const;
    void pauseAccepting(const std::string& why);
    void resumeAccepting();
    void log(const std::string& line) const;
    void logAlways(const std::string& line) const;

    const ServerOptions& options_;
    PackageCatalog& catalog_;
    SessionRules rules_;
    ClockRules clockRules_;
    ServerStats ownStats_;
    ServerStats* stats_ = &ownStats_;
    bool reportsStats_ = true;
    bool draining_ = false;
    std::function<void(bool cutShort)> stopHook_;
    int64_t drainDeadline_ = 0;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int signalFd_ = -1;
    uint16_t port_ = 0;
    CatalogWatch watch_;
    std::size_t descriptorLimit_ = 0;
    bool accepting_ = true;
    std::map<int, std::unique_ptr<Connection>> connections_;
};
