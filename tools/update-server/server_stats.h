// What the server did since its last summary line, for the operator. The
// loops of a pool count into one ServerStats, so the operator reads one line
// per interval whatever the number of loops.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct ServerStats {
    std::atomic<uint64_t> connected{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytesServed{0};
    // Connections closed for a fault: a frame that is no request, a failed
    // receive or send, a time-out, an eviction, a newcomer turned away.
    std::atomic<uint64_t> errors{0};

    // "summary: ..." over the last seconds, with the connections open now;
    // the counters, but for the connections, start again from zero.
    std::string TakeSummary(int64_t seconds);
};
