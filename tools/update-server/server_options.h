// Command line of update-server.
#pragma once

#include <cstddef>
#include <string>

struct ServerOptions {
    std::string root;
    std::string bind = "127.0.0.1";
    int port = 38432;               // 0: an ephemeral port
    std::size_t chunk = 4096;       // payload bytes per reply
    std::string portFile;           // receives the port once listening
    int idleTimeoutSeconds = 60;
    int requestTimeoutSeconds = 30;  // from a request's first byte to its reply's last
    int statsIntervalSeconds = 60;   // between two summary lines
    bool quiet = false;
    std::size_t maxClients = 1000;
    long long dropAfter = -1;       // test fault: close after this many payload bytes
    long refuseSerial = -1;         // test fault: answer flag 0 for this serial
};

enum class OptionsOutcome { Run, Help, Invalid };

OptionsOutcome ParseServerOptions(int argc, char** argv, ServerOptions* options, std::string* error);

extern const char kServerUsage[];
