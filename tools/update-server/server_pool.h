// One event loop per thread, all listening on one port (SO_REUSEPORT): the
// kernel spreads the clients, each loop keeps its own catalogue and its share
// of the descriptor limit; the admission policy (one client limit for the
// whole server) and the operator's counters are shared.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "admission_policy.h"
#include "event_loop.h"
#include "package_catalog.h"
#include "server_options.h"
#include "server_stats.h"

class ServerPool {
public:
    explicit ServerPool(const ServerOptions& options);
    ~ServerPool();
    ServerPool(const ServerPool&) = delete;
    ServerPool& operator=(const ServerPool&) = delete;

    // Opens every loop on the same port, then writes the port file.
    bool Open(std::string* error);
    // Serves until SIGINT or SIGTERM reaches any loop; every loop then stops.
    // 0 when all stopped cleanly.
    int Run();
    // Called from a loop's thread as the server begins to drain (false) and
    // when a second signal cuts the drain short (true).
    void setStopHook(std::function<void(bool cutShort)> hook) { stopHook_ = std::move(hook); }
    const ServerStats& stats() const { return stats_; }

private:
    struct Member {
        ServerOptions options;
        std::unique_ptr<PackageCatalog> catalog;
        std::unique_ptr<EventLoop> loop;
    };

    const ServerOptions& options_;
    std::vector<Member> members_;
    AdmissionPolicy policy_;
    ServerStats stats_;
    std::function<void(bool cutShort)> stopHook_;
};
