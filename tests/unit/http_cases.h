// The HTTP rows (platform_http_check.cpp), against the scripted server of
// http_test_server.py on 127.0.0.1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/platform.h"

namespace http_cases {

struct Outcome {
    std::string name;
    bool passed;
};

// Keeps what arrived and whether the headers came once, before the body.
struct Collector : platform::HttpSink {
    bool acceptHeaders = true;
    int headerCalls = 0;
    bool bodyBeforeHeaders = false;
    std::string received;
    bool headers(const platform::HttpReply&) override { return ++headerCalls, acceptHeaders; }
    bool body(const uint8_t* bytes, std::size_t count) override {
        bodyBeforeHeaders = bodyBeforeHeaders || headerCalls != 1;
        received.append(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
    // Byte i of /object is i % 251.
    bool isObject(uint64_t from) const {
        for (std::size_t i = 0; i < received.size(); ++i) {
            if (static_cast<uint8_t>(received[i]) != (from + i) % 251) return false;
        }
        return true;
    }
};

struct Get {
    platform::HttpOutcome outcome;
    platform::HttpReply reply;
    Collector sink;
    uint32_t elapsed;
};

inline Get get(platform::HttpConnection& connection, const std::string& url, uint64_t from = 0, uint64_t length = 0,
               const platform::HttpLimits& limits = platform::HttpLimits(), bool acceptHeaders = true) {
    Get result{};
    result.sink.acceptHeaders = acceptHeaders;
    const uint32_t start = platform::tickCount();
    result.outcome = connection.get(url.c_str(), from, length, limits, result.sink, &result.reply);
    result.elapsed = platform::tickCount() - start;
    return result;
}

// When the interrupting thread called interrupt().
inline uint32_t g_interruptedAt = 0;

inline std::vector<Outcome> run(uint16_t port, uint16_t closedPort) {
    using platform::HttpOutcome;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    std::vector<Outcome> outcomes{{"the client starts", platform::startHttp()}};
    platform::HttpConnection connection;

    struct Row {
        const char* name;
        const char* path;
        uint64_t from, length;
        int status;
        uint64_t bodyBytes;
    };
    const Row rows[] = {
        {"whole object: 200 with its length", "/object", 0, 0, 200, 100000},
        {"one range: 206 with the Content-Range asked for", "/object", 1000, 500, 206, 500},
        {"a redirect is followed with its range", "/redirect", 5, 10, 206, 10},
        {"a range past the end: 416, headers given once at the end", "/object", 200000, 10, 416, 0},
        {"404 is reported with its status", "/missing", 0, 0, 404, 8},
    };
    for (const Row& row : rows) {
        Get got = get(connection, base + row.path, row.from, row.length);
        const platform::HttpReply& reply = got.reply;
        const bool ranged = row.status == 206;
        outcomes.push_back(
            {row.name, got.outcome == HttpOutcome::Complete && reply.status == row.status && reply.lengthKnown &&
                           reply.contentLength == row.bodyBytes && reply.bodyBytes == row.bodyBytes &&
                           got.sink.received.size() == row.bodyBytes && reply.rangeKnown == ranged &&
                           got.sink.headerCalls == 1 && !got.sink.bodyBeforeHeaders &&
                           (row.status == 404 || got.sink.isObject(row.from)) &&
                           (!ranged || (reply.rangeFirst == row.from && reply.rangeTotal == 100000 &&
                                        reply.rangeLast == row.from + row.length - 1))});
    }

    Get cut = get(connection, base + "/cut");
    outcomes.push_back({"a body cut short is counted short",
                        (cut.outcome == HttpOutcome::Complete || cut.outcome == HttpOutcome::Failed) &&
                            cut.reply.contentLength == 1000 && cut.reply.bodyBytes == 500 && cut.sink.isObject(0)});
    Get refused = get(connection, base + "/object", 0, 0, platform::HttpLimits(), false);
    outcomes.push_back({"a sink refusing the headers ends the GET",
                        refused.outcome == HttpOutcome::Refused && refused.reply.status == 200 &&
                            refused.reply.bodyBytes == 0 && refused.sink.received.empty()});
    // The serial changes with the socket: after /closing a new one is made.
    std::vector<std::string> serials;
    for (const char* path : {"/connection", "/connection", "/closing", "/connection"}) {
        Get got = get(connection, base + path);
        serials.push_back(got.outcome == HttpOutcome::Complete ? got.sink.received : "");
    }
    outcomes.push_back({"GETs on one connection share its socket until the server closes it",
                        !serials[0].empty() && serials[1] == serials[0] && serials[2] == serials[0] &&
                            !serials[3].empty() && serials[3] != serials[0]});
    Get refusedConnect = get(connection, "http://127.0.0.1:" + std::to_string(closedPort) + "/object");
    outcomes.push_back({"a refused connect fails with a reason: " + refusedConnect.reply.reason,
                        refusedConnect.outcome == HttpOutcome::Failed && refusedConnect.reply.status == 0 &&
                            !refusedConnect.reply.reason.empty() && refusedConnect.sink.headerCalls == 0});

    // /stall sends 100 bytes and then holds the connection for 30 s.
    Get slow = get(connection, base + "/stall", 0, 0, platform::HttpLimits{10, 1000, 1});
    outcomes.push_back({"a stalled body fails by the floor (" + std::to_string(slow.elapsed) + " ms)",
                        slow.outcome == HttpOutcome::Failed && !slow.reply.reason.empty() &&
                            slow.reply.bodyBytes == 100 && slow.elapsed < 10000});

    platform::HttpConnection stalled;
    platform::ThreadHandle thread = platform::startThreadWith([](void* connection) -> uint32_t {
        platform::sleepMs(300);
        g_interruptedAt = platform::tickCount();
        return static_cast<platform::HttpConnection*>(connection)->interrupt(), 0;
    }, &stalled);
    Get interrupted = get(stalled, base + "/stall");
    const uint32_t late = platform::tickCount() - g_interruptedAt;
    const bool joined = thread != nullptr && platform::waitForThread(thread, 5000);
    platform::releaseThread(thread);
    outcomes.push_back({"interrupt ends a stalled GET from another thread (" + std::to_string(late) +
                            " ms after the call), and every later one",
                        joined && interrupted.outcome == HttpOutcome::Interrupted && late < 5000 &&
                            get(stalled, base + "/object").outcome == HttpOutcome::Interrupted});
    return outcomes;
}

}  // namespace http_cases
