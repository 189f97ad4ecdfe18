#include "server_stats.h"

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

void ServerStats::countPackage(const std::string& name, const PackageCounts& more)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PackageCounts& counts = packages_[name];
    counts.requests += more.requests;
    counts.bytes += more.bytes;
    counts.filesFinished += more.filesFinished;
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
    const std::map<std::string, PackageCounts> counts = packages();
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
