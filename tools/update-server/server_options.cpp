#include "server_options.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "mirror_list.h"
#include "wire_protocol.h"

const char kServerUsage[] =
    "usage: update-server --root ROOT [--bind 127.0.0.1] [--port 38432] [--chunk N]\n"
    "                     [--port-file FILE] [--idle-timeout S] [--max-clients N] [--quiet]\n"
    "                     [--fast-chunk N] [--fast-window N] [--loops N]\n"
    "                     [--request-timeout S] [--stats-interval S]\n"
    "                     [--metrics-port N] [--metrics-bind 127.0.0.1] [--metrics-port-file FILE]\n"
    "                     [--max-per-address N] [--log-level debug|info|warn]\n"
    "                     [--no-patches] [--no-deflate] [--mirror URL]...\n"
    "\n"
    "Serves the packages that make-package built under ROOT (ROOT/packages.txt\n"
    "gives their numbers; it is read again whenever it changes).\n"
    "\n"
    "  --root ROOT        the package folder\n"
    "  --bind ADDRESS     IPv4 or IPv6 address to listen on (default 127.0.0.1);\n"
    "                     :: takes IPv4 clients as well\n"
    "  --port N           TCP port (default 38432; 0 picks a free one)\n"
    "  --chunk N          payload bytes per reply, 1..10237 (default 10237); given\n"
    "                     alone, every client gets N-byte chunks (no fast mode)\n"
    "  --fast-chunk N     largest payload a fast-mode client may ask for, 1..65534,\n"
    "                     or 0 for no fast mode (default 65534 unless --chunk is given)\n"
    "  --fast-window N    requests a fast-mode client may send ahead, 1..256 (default 16)\n"
    "  --no-patches       offer no block sums: a fast-mode client then fetches a\n"
    "                     changed file whole\n"
    "  --no-deflate       never deflate a reply (by default a fast-mode client that\n"
    "                     asks gets the files make-package marked deflated)\n"
    "  --mirror URL       an HTTP mirror of ROOT/.http (http:// or https://, a /\n"
    "                     is added where it ends without one), announced to our\n"
    "                     clients with signed builds; up to 8, in order of\n"
    "                     preference. Copy .http there before publishing a build.\n"
    "  --port-file FILE   write the port number into FILE once listening\n"
    "  --idle-timeout S   close a connection silent for S seconds between a reply\n"
    "                     and its next request (default 900: a first run digests\n"
    "                     the installed game in that pause)\n"
    "  --max-clients N    connections served at once by the whole server (default\n"
    "                     1000); newcomers wait, and take free slots in the order\n"
    "                     they connected once they have sent a request\n"
    "  --max-per-address N\n"
    "                     of those, from one address, or one IPv6 /64 (default\n"
    "                     64); it may have 8 N more waiting\n"
    "  --loops N          event loops on as many threads, sharing the port,\n"
    "                     1..64 (default one per core)\n"
    "  --request-timeout S\n"
    "                     close a connection whose request does not arrive whole\n"
    "                     within S seconds of its first byte, or whose reply does\n"
    "                     not move for S seconds (default 30)\n"
    "  --stats-interval S one summary line every S seconds (default 60)\n"
    "  --log-level L      debug: a line per request; info (default): a line per\n"
    "                     connection opened or closed and per file finished;\n"
    "                     warn: only start, reload, stop, summaries and warnings\n"
    "  --quiet            the same as --log-level warn\n"
    "  --metrics-port N   answer HTTP GET /metrics (Prometheus text) and /health\n"
    "                     on port N (0 picks a free one; default: no such port)\n"
    "  --metrics-bind ADDRESS\n"
    "                     address of the metrics port (default 127.0.0.1)\n"
    "  --metrics-port-file FILE\n"
    "                     write the metrics port number into FILE once listening\n"
    "\n"
    "SIGTERM or SIGINT: stop accepting, finish the replies in flight, exit 0.\n"
    "\n"
    "Fault injection for tests:\n"
    "  --drop-after BYTES close a connection once it has sent BYTES payload bytes\n"
    "                     of files (the chunk that reaches BYTES is sent whole)\n"
    "  --refuse-serial N  answer flag 0 (refusal) to every request for serial N\n";

namespace {

constexpr long kMaxLoops = 64;

bool ToNumber(const char* text, long long low, long long high, long long* value)
{
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

}  // namespace

OptionsOutcome ParseServerOptions(int argc, char** argv, ServerOptions* options, std::string* error)
{
    bool chunkGiven = false;
    bool loopsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return OptionsOutcome::Help;
        if (arg == "--quiet") {
            options->logLevel = LogLevel::Warn;
            continue;
        }
        if (arg == "--no-patches") {
            options->blockSums = false;
            continue;
        }
        if (arg == "--no-deflate") {
            options->deflate = false;
            continue;
        }
        if (i + 1 >= argc) {
            *error = "missing value after " + arg;
            return OptionsOutcome::Invalid;
        }
        const char* value = argv[++i];
        long long number = 0;
        auto numeric = [&](long long low, long long high) {
            if (ToNumber(value, low, high, &number)) return true;
            *error = arg + " takes a number from " + std::to_string(low) + " to " + std::to_string(high);
            return false;
        };
        if (arg == "--root") {
            options->root = value;
        } else if (arg == "--mirror") {
            if (!AddMirror(value, &options->mirrors, error)) return OptionsOutcome::Invalid;
        } else if (arg == "--bind") {
            options->bind = value;
        } else if (arg == "--metrics-bind") {
            options->metricsBind = value;
        } else if (arg == "--metrics-port-file") {
            options->metricsPortFile = value;
        } else if (arg == "--metrics-port") {
            if (!numeric(0, 65535)) return OptionsOutcome::Invalid;
            options->metricsPort = static_cast<int>(number);
        } else if (arg == "--port-file") {
            options->portFile = value;
        } else if (arg == "--port") {
            if (!numeric(0, 65535)) return OptionsOutcome::Invalid;
            options->port = static_cast<int>(number);
        } else if (arg == "--chunk") {
            if (!numeric(1, static_cast<long long>(wire::kMaxChunkPayload))) return OptionsOutcome::Invalid;
            options->chunk = static_cast<std::size_t>(number);
            chunkGiven = true;
        } else if (arg == "--fast-chunk") {
            if (!numeric(0, static_cast<long long>(wire::kMaxFastChunkPayload))) return OptionsOutcome::Invalid;
            options->fastChunk = static_cast<long>(number);
        } else if (arg == "--fast-window") {
            if (!numeric(1, 256)) return OptionsOutcome::Invalid;
            options->fastWindow = static_cast<std::size_t>(number);
        } else if (arg == "--loops") {
            if (!numeric(1, kMaxLoops)) return OptionsOutcome::Invalid;
            options->loops = static_cast<std::size_t>(number);
            loopsGiven = true;
        } else if (arg == "--idle-timeout") {
            if (!numeric(1, 86400)) return OptionsOutcome::Invalid;
            options->idleTimeoutSeconds = static_cast<int>(number);
        } else if (arg == "--request-timeout") {
            if (!numeric(1, 86400)) return OptionsOutcome::Invalid;
            options->requestTimeoutSeconds = static_cast<int>(number);
        } else if (arg == "--stats-interval") {
            if (!numeric(1, 86400)) return OptionsOutcome::Invalid;
            options->statsIntervalSeconds = static_cast<int>(number);
        } else if (arg == "--max-per-address") {
            if (!numeric(1, 100000)) return OptionsOutcome::Invalid;
            options->maxPerAddress = static_cast<std::size_t>(number);
        } else if (arg == "--log-level") {
            const std::string level = value;
            if (level == "debug") options->logLevel = LogLevel::Debug;
            else if (level == "info") options->logLevel = LogLevel::Info;
            else if (level == "warn") options->logLevel = LogLevel::Warn;
            else {
                *error = "--log-level takes debug, info or warn";
                return OptionsOutcome::Invalid;
            }
        } else if (arg == "--max-clients") {
            if (!numeric(1, 100000)) return OptionsOutcome::Invalid;
            options->maxClients = static_cast<std::size_t>(number);
        } else if (arg == "--drop-after") {
            if (!numeric(1, 1LL << 40)) return OptionsOutcome::Invalid;
            options->dropAfter = number;
        } else if (arg == "--refuse-serial") {
            if (!numeric(0, 65535)) return OptionsOutcome::Invalid;
            options->refuseSerial = static_cast<long>(number);
        } else {
            *error = "unknown option " + arg;
            return OptionsOutcome::Invalid;
        }
    }
    // Tests and operators that pin the chunk size want exactly that size on
    // the wire, from every client.
    if (options->fastChunk < 0) {
        options->fastChunk = chunkGiven ? 0 : static_cast<long>(wire::kMaxFastChunkPayload);
    }
    if (!loopsGiven) {
        long cores = sysconf(_SC_NPROCESSORS_ONLN);
        options->loops = cores < 1 ? 1 : cores > kMaxLoops ? kMaxLoops : static_cast<std::size_t>(cores);
    }
    if (options->metricsPort < 0 && !options->metricsPortFile.empty()) {
        *error = "--metrics-port-file needs --metrics-port";
        return OptionsOutcome::Invalid;
    }
    if (options->root.empty()) {
        *error = "--root is required";
        return OptionsOutcome::Invalid;
    }
    return OptionsOutcome::Run;
}
