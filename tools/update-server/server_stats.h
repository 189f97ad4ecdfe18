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
#include <utility>
#include <vector>

#include "close_reason.h"

struct PackageCounts {
    uint64_t requests = 0;
    uint64_t bytes = 0;
    uint64_t filesFinished = 0;
};

// A build a catalogue holds, as the metrics name it.
struct HeldBuild {
    std::string package;
    std::string label;    // "build 7 list 0f3a...", as the log lines name it
    const char* signing;  // "yes", "no" or "half"
};

// The series of a build gone from the catalogue stay this long, long enough
// for a scrape to see its last bytes, and a package keeps those of this many
// gone builds at most: a server publishing all day adds no series without end.
constexpr int64_t kGoneBuildSeriesMs = 10 * 60 * 1000;
constexpr std::size_t kGoneBuildSeriesPerPackage = 8;

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
    // Adds to the counts of a package the server has, by its name, and to
    // those of the build that served them (its label) while it has series:
    // only builds a catalogue held get any, never a name a client sent.
    void countPackage(const std::string& name, const PackageCounts& more, const std::string& build = "");
    std::map<std::string, PackageCounts> packages() const;
    // After a loop loaded its catalogue: its builds get series. The
    // reporting loop's catalogue is the one the builds gauge shows, and the
    // builds it no longer holds are gone.
    void holdBuilds(const std::vector<HeldBuild>& builds, bool reports, int64_t nowMs);
    // Drops the series of builds gone past the limits above.
    void dropGoneBuilds(int64_t nowMs);

    // "summary: now ...; in the last S s: ..." with what changed since the
    // previous summary.
    std::string TakeSummary(int64_t seconds);
    // Every counter in the Prometheus text exposition format.
    std::string PrometheusText() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, PackageCounts> packages_;
    static constexpr int64_t kHeld = -1;
    struct BuildSeries {
        uint64_t bytes = 0, filesFinished = 0;
        int64_t goneAt = kHeld;
    };
    std::map<std::pair<std::string, std::string>, BuildSeries> builds_;  // by package and label
    std::vector<HeldBuild> held_;
    void dropGoneBuildsLocked(int64_t nowMs);
    struct Snapshot {
        uint64_t accepted = 0, requests = 0, bytes = 0, files = 0;
        std::array<uint64_t, kCloseReasons> closed{};
        std::array<uint64_t, kRefuseReasons> refused{};
    } last_;
};
