// update-server: serves the packages under ROOT to the updater's clients.
#include <csignal>
#include <cstdio>
#include <string>

#include "event_loop.h"
#include "package_catalog.h"
#include "server_options.h"
#include "server_pool.h"

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
    // between requests and never inside one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (options.loops > 1) {
        ServerPool pool(options);
        if (!pool.Open(&error)) {
            std::fprintf(stderr, "update-server: %s\n", error.c_str());
            return 1;
        }
        return pool.Run();
    }
    PackageCatalog catalog(options.root);
    EventLoop loop(options, catalog);
    if (!loop.Open(&error)) {
        std::fprintf(stderr, "update-server: %s\n", error.c_str());
        return 1;
    }
    return loop.Run();
}
