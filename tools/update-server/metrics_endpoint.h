// The operator's HTTP port: GET /metrics answers the Prometheus text format,
// GET /health "ok" while the server serves and 503 while it starts or drains.
// It runs on libmicrohttpd's own thread, so a slow scraper never holds up an
// event loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct MHD_Daemon;

enum class Health { Starting, Serving, Draining };

class MetricsEndpoint {
public:
    struct Sources {
        std::function<std::string()> metrics;  // called on the endpoint's thread
        std::function<Health()> health;        // the same
    };

    explicit MetricsEndpoint(Sources sources);
    // Stops the endpoint's thread: once it returns no source is called again.
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Listens on HOST:PORT (PORT 0: a free one). SIGINT and SIGTERM must
    // already be blocked, so that the thread it starts leaves them to the
    // server's loops.
    bool Open(const std::string& host, int port, std::string* error);
    uint16_t port() const { return port_; }

private:
    Sources sources_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
};
