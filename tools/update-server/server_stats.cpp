#include "server_stats.h"

#include <algorithm>
#include <set>

namespace {

void Metric(std::string* out, const char* name, const char* type, const char* help)
{
    *out += std::string("# HELP autoupdate_server_") + name + " " + help + "\n";
    *out += std::string("# TYPE autoupdate_server_") + name + " " + type + "\n";
}

void Sample(std::string* out, const char* name, const std::string& labels, uint64_t value)
{
    *out += std::string("autoupdate_server_") + name + (labels.empty() ? "" : "{" + labels + "}") + " " +
            std::to_string(value) + "\n";
}

// "3 idle time-out, 1 request time-out", or "none".
template <typename Reason, std::size_t N>
std::string ByReason(const std::array<uint64_t, N>& counts, const char* (*text)(Reason))
{
    std::string line;
    for (std::size_t i = 0; i < N; ++i) {
        if (counts[i] == 0) continue;
        if (!line.empty()) line += ", ";
        line += std::to_string(counts[i]) + " " + text(static_cast<Reason>(i));
    }
    return line.empty() ? "none" : line;
}

// A package name as a label value: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text)
{
    std::string value;
    for (char c : text) {
        if (c == '\\' || c == '"') value += '\\';
        value += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return value;
}

}  // namespace

void ServerStats::countPackage(const std::string& name, const PackageCounts& more, const std::string& build)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PackageCounts& counts = packages_[name];
    counts.requests += more.requests;
    counts.bytes += more.bytes;
    counts.filesFinished += more.filesFinished;
    auto series = builds_.find({name, build});
    if (series == builds_.end()) return;
    series->second.bytes += more.bytes;
    series->second.filesFinished += more.filesFinished;
}

void ServerStats::holdBuilds(const std::vector<HeldBuild>& builds, bool reports, int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::pair<std::string, std::string>> holds;
    for (const HeldBuild& build : builds) {
        holds.insert({build.package, build.label});
        builds_.emplace(std::make_pair(build.package, build.label), BuildSeries());
    }
    if (!reports) return;
    held_ = builds;
    for (auto& entry : builds_) {
        if (holds.count(entry.first) > 0) entry.second.goneAt = kHeld;
        else if (entry.second.goneAt == kHeld) entry.second.goneAt = nowMs;
    }
    dropGoneBuildsLocked(nowMs);
}

void ServerStats::dropGoneBuilds(int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    dropGoneBuildsLocked(nowMs);
}

void ServerStats::dropGoneBuildsLocked(int64_t nowMs)
{
    std::map<std::string, std::vector<std::pair<int64_t, std::string>>> gone;  // by package: when, label
    for (auto entry = builds_.begin(); entry != builds_.end();) {
        const int64_t goneAt = entry->second.goneAt;
        if (goneAt != kHeld && nowMs - goneAt >= kGoneBuildSeriesMs) {
            entry = builds_.erase(entry);
            continue;
        }
        if (goneAt != kHeld) gone[entry->first.first].push_back({goneAt, entry->first.second});
        ++entry;
    }
    for (auto& package : gone) {
        std::sort(package.second.rbegin(), package.second.rend());
        for (std::size_t i = kGoneBuildSeriesPerPackage; i < package.second.size(); ++i) {
            builds_.erase({package.first, package.second[i].second});
        }
    }
}

std::map<std::string, PackageCounts> ServerStats::packages() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return packages_;
}

std::string ServerStats::TakeSummary(int64_t seconds)
{
    Snapshot now;
    now.accepted = accepted;
    now.requests = requests;
    now.bytes = bytesServed;
    now.files = filesFinished;
    for (std::size_t i = 0; i < kCloseReasons; ++i) now.closed[i] = closed[i] - last_.closed[i];
    for (std::size_t i = 0; i < kRefuseReasons; ++i) now.refused[i] = refused[i] - last_.refused[i];
    std::string line = "summary: now " + std::to_string(served.load()) + " served, " +
                       std::to_string(waiting.load()) + " waiting, " + std::to_string(backlog.load()) +
                       " in the listen queue" + (loopsPaused.load() > 0 ? " (accepting paused)" : "") +
                       "; in the last " + std::to_string(seconds) + " s: " +
                       std::to_string(now.accepted - last_.accepted) + " accepted, " +
                       std::to_string(now.requests - last_.requests) + " requests, " +
                       std::to_string(now.bytes - last_.bytes) + " bytes served, " +
                       std::to_string(now.files - last_.files) + " files finished; closed: " +
                       ByReason<CloseReason>(now.closed, CloseReasonText) +
                       "; refused: " + ByReason<RefuseReason>(now.refused, RefuseReasonText);
    for (std::size_t i = 0; i < kCloseReasons; ++i) now.closed[i] += last_.closed[i];
    for (std::size_t i = 0; i < kRefuseReasons; ++i) now.refused[i] += last_.refused[i];
    last_ = now;
    return line;
}

std::string ServerStats::PrometheusText() const
{
    std::string out;
    Metric(&out, "connections", "gauge", "Connections open now, by whether they hold a slot.");
    Sample(&out, "connections", "state=\"served\"", served);
    Sample(&out, "connections", "state=\"waiting\"", waiting);
    Metric(&out, "listen_queue", "gauge", "Connections the kernel holds that the server has not accepted yet.");
    Sample(&out, "listen_queue", "", static_cast<uint64_t>(backlog.load() < 0 ? 0 : backlog.load()));
    Metric(&out, "accepting_paused", "gauge", "Event loops not accepting for want of descriptors.");
    Sample(&out, "accepting_paused", "", loopsPaused);
    Metric(&out, "accepted_total", "counter", "Connections accepted.");
    Sample(&out, "accepted_total", "", accepted);
    Metric(&out, "closed_total", "counter", "Connections closed, by reason.");
    for (std::size_t i = 0; i < kCloseReasons; ++i) {
        Sample(&out, "closed_total", std::string("reason=\"") + CloseReasonLabel(static_cast<CloseReason>(i)) + "\"",
               closed[i]);
    }
    Metric(&out, "refused_total", "counter", "Connections refused on arrival, by reason.");
    for (std::size_t i = 0; i < kRefuseReasons; ++i) {
        Sample(&out, "refused_total",
               std::string("reason=\"") + RefuseReasonLabel(static_cast<RefuseReason>(i)) + "\"", refused[i]);
    }
    Metric(&out, "requests_total", "counter", "Requests answered.");
    Sample(&out, "requests_total", "", requests);
    Metric(&out, "bytes_total", "counter", "Bytes sent to clients.");
    Sample(&out, "bytes_total", "", bytesServed);
    Metric(&out, "files_finished_total", "counter", "Files whose last chunk went out.");
    Sample(&out, "files_finished_total", "", filesFinished);
    Metric(&out, "deflate_saved_bytes_total", "counter", "Bytes deflated replies spared the wire.");
    Sample(&out, "deflate_saved_bytes_total", "", deflateSaved);
    Metric(&out, "unknown_package_requests_total", "counter",
           "Requests for a package the server does not have, whatever they name.");
    Sample(&out, "unknown_package_requests_total", "", unknownRequests);
    std::lock_guard<std::mutex> lock(mutex_);
    Metric(&out, "builds", "gauge", "Builds the catalogue holds now, current and older, by package and signing.");
    std::map<std::string, std::map<std::string, uint64_t>> bySigning;
    for (const HeldBuild& build : held_) {
        auto& package = bySigning[build.package];
        // Every state of a package held, 0 where none: a panel shows 0, not a gap.
        for (const char* signing : {"yes", "no", "half"}) package[signing] += 0;
        ++package[build.signing];
    }
    for (const auto& package : bySigning) {
        for (const auto& signing : package.second) {
            Sample(&out, "builds", "package=\"" + LabelValue(package.first) + "\",signed=\"" + signing.first + "\"",
                   signing.second);
        }
    }
    const struct {
        const char* name;
        const char* help;
        uint64_t BuildSeries::*field;
    } perBuild[] = {
        {"build_bytes_total", "Bytes sent, by package name and build, for builds held lately.", &BuildSeries::bytes},
        {"build_files_finished_total", "Files finished, by package name and build, for builds held lately.",
         &BuildSeries::filesFinished},
    };
    for (const auto& metric : perBuild) {
        Metric(&out, metric.name, "counter", metric.help);
        for (const auto& entry : builds_) {
            Sample(&out, metric.name,
                   "package=\"" + LabelValue(entry.first.first) + "\",build=\"" + LabelValue(entry.first.second) + "\"",
                   entry.second.*metric.field);
        }
    }
    const std::map<std::string, PackageCounts>& counts = packages_;
    const struct {
        const char* name;
        const char* help;
        uint64_t PackageCounts::*field;
    } perPackage[] = {
        {"package_requests_total", "Requests answered, by package name.", &PackageCounts::requests},
        {"package_bytes_total", "Bytes sent, by package name.", &PackageCounts::bytes},
        {"package_files_finished_total", "Files finished, by package name.", &PackageCounts::filesFinished},
    };
    for (const auto& metric : perPackage) {
        Metric(&out, metric.name, "counter", metric.help);
        for (const auto& entry : counts) {
            Sample(&out, metric.name, "package=\"" + LabelValue(entry.first) + "\"", entry.second.*metric.field);
        }
    }
    return out;
}
