// update-server: serves the packages under ROOT to the updater's clients.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "event_loop.h"
#include "metrics_endpoint.h"
#include "package_catalog.h"
#include "server_options.h"
#include "server_pool.h"
#include "server_stats.h"

namespace {

// Opens the metrics endpoint (when asked for) before the server's own port,
// so that its port file is written first, then serves until a stop.
template <class Server>
int Serve(const ServerOptions& options, Server& server, const ServerStats& stats)
{
    std::atomic<Health> health{Health::Starting};
    server.setStopHook([&health](bool) { health = Health::Draining; });
    std::unique_ptr<MetricsEndpoint> metrics;
    std::string error;
    if (options.metricsPort >= 0) {
        metrics = std::make_unique<MetricsEndpoint>(
            MetricsEndpoint::Sources{[&stats] { return stats.PrometheusText(); }, [&health] { return health.load(); }});
        if (!metrics->Open(options.metricsBind, options.metricsPort, &error)) {
            std::fprintf(stderr, "update-server: %s\n", error.c_str());
            return 1;
        }
        if (!options.metricsPortFile.empty() && !WritePortFile(options.metricsPortFile, metrics->port())) {
            std::fprintf(stderr, "update-server: cannot write %s\n", options.metricsPortFile.c_str());
            return 1;
        }
    }
    if (!server.Open(&error)) {
        std::fprintf(stderr, "update-server: %s\n", error.c_str());
        return 1;
    }
    health = Health::Serving;
    return server.Run();
}

}  // namespace

int main(int argc, char** argv)
{
    ServerOptions options;
    std::string error;
    switch (ParseServerOptions(argc, argv, &options, &error)) {
    case OptionsOutcome::Help:
        std::fputs(kServerUsage, stdout);
        return 0;
    case OptionsOutcome::Invalid:
        std::fprintf(stderr, "update-server: %s\n\n%s", error.c_str(), kServerUsage);
        return 2;
    case OptionsOutcome::Run:
        break;
    }

    // Delivered through the loop's signal descriptor, so a stop is handled
    // between requests and never inside one. Every thread started from here
    // on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (options.loops > 1) {
        ServerPool pool(options);
        return Serve(options, pool, pool.stats());
    }
    PackageCatalog catalog(options.root);
    EventLoop loop(options, catalog);
    ServerStats stats;
    loop.shareStats(&stats, true);
    return Serve(options, loop, stats);
}
