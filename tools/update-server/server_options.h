// Command line of update-server.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What goes to standard error beyond the start, reload, stop, summary and
// warning lines, which are always written: Info adds a line per connection
// and per finished file, Debug one per request.
enum class LogLevel { Debug, Info, Warn };

struct ServerOptions {
    std::string root;
    std::string bind = "127.0.0.1";
    int port = 38432;               // 0: an ephemeral port
    std::size_t chunk = 10237;      // payload bytes per reply to a base client
    // Largest payload a fast-mode client may ask for; 0: no fast mode. -1
    // until parsed: 65534, or 0 when --chunk pinned the chunk size.
    long fastChunk = -1;
    std::size_t fastWindow = 16;    // requests a fast-mode client may have in flight
    bool blockSums = true;          // offer make-package's block sums (--no-patches)
    bool deflate = true;            // deflate marked files on request (--no-deflate)
    // Base URLs of the HTTP mirrors of signed builds, in order of preference,
    // each ending in "/" (--mirror).
    std::vector<std::string> mirrors;
    std::string portFile;           // receives the port once listening
    int idleTimeoutSeconds = 900;    // silence between a reply and the next request
    int requestTimeoutSeconds = 30;  // for a request to arrive whole, and for a reply to move at all
    int statsIntervalSeconds = 60;   // between two summary lines
    LogLevel logLevel = LogLevel::Info;  // --quiet: Warn
    std::size_t maxClients = 1000;   // served at once by the whole server
    std::size_t maxPerAddress = 64;  // of those, from one address
    std::size_t loops = 1;          // event loops, a thread each; the command line's default: one per core
    long long dropAfter = -1;       // test fault: close after this many payload bytes
    long refuseSerial = -1;         // test fault: answer flag 0 for this serial
    int metricsPort = -1;           // -1: no metrics endpoint; 0: an ephemeral port
    std::string metricsBind = "127.0.0.1";
    std::string metricsPortFile;    // receives the metrics port once listening
};

enum class OptionsOutcome { Run, Help, Invalid };

OptionsOutcome ParseServerOptions(int argc, char** argv, ServerOptions* options, std::string* error);

extern const char kServerUsage[];
