// What the server did since its last summary line, for the operator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ServerStats {
    uint64_t accepted = 0;
    uint64_t requests = 0;
    uint64_t bytesServed = 0;
    // Connections closed for a fault: a frame that is no request, a failed
    // receive or send, a time-out, an eviction, a newcomer turned away.
    uint64_t errors = 0;

    // "summary: ..." over the last seconds, with the connections open now;
    // the counters start again from zero.
    std::string TakeSummary(int64_t seconds, std::size_t connected);
};
