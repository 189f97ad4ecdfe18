// What the server holds now and has done so far, for the operator: the
// summary lines and the metrics read the same counters. The loops of a pool
// count into one ServerStats.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "close_reason.h"

struct PackageCounts {
    uint64_t requests = 0;
    uint64_t bytes = 0;
    uint64_t filesFinished = 0;
};

class ServerStats {
public:
    // Now.
    std::atomic<uint64_t> served{0};       // connections holding a slot
    std::atomic<uint64_t> waiting{0};      // accepted, waiting for a slot
    std::atomic<int64_t> backlog{0};       // connected, not yet accepted (the listen queues)
    std::atomic<uint64_t> loopsPaused{0};  // loops not accepting (descriptors short)
    // Totals since the start.
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytesServed{0};
    std::atomic<uint64_t> filesFinished{0};
    std::atomic<uint64_t> deflateSaved{0};  // bytes that deflated replies spared the wire
    // Requests for a package the server does not have: counted together, so
    // that no client can add series to the metrics.
    std::atomic<uint64_t> unknownRequests{0};
    std::array<std::atomic<uint64_t>, kCloseReasons> closed{};
    std::array<std::atomic<uint64_t>, kRefuseReasons> refused{};

    void countClose(CloseReason reason) { ++closed[static_cast<std::size_t>(reason)]; }
    void countRefusal(RefuseReason reason) { ++refused[static_cast<std::size_t>(reason)]; }
    // Adds to the counts of a package the server has, by its name.
    void countPackage(const std::string& name, const PackageCounts& more);
    std::map<std::string, PackageCounts> packages() const;

    // "summary: now ...; in the last S s: ..." with what changed since the
    // previous summary.
    std::string TakeSummary(int64_t seconds);
    // Every counter in the Prometheus text exposition format.
    std::string PrometheusText() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, PackageCounts> packages_;
    struct Snapshot {
        uint64_t accepted = 0, requests = 0, bytes = 0, files = 0;
        std::array<uint64_t, kCloseReasons> closed{};
        std::array<uint64_t, kRefuseReasons> refused{};
    } last_;
};
