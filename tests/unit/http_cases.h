// The HTTP rows, run natively against libcurl (platform_http_test) and under
// Wine against WinHTTP (tests/wine/platform_http_check), both against the
// scripted server of http_test_server.h on 127.0.0.1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/platform.h"

namespace http_cases {

struct Outcome {
    std::string name;
    bool passed;
};

// Keeps what arrived and checks that the headers came once, before the body.
class Collector : public platform::HttpSink {
public:
    explicit Collector(bool acceptHeaders = true) : acceptHeaders_(acceptHeaders) {}
    bool headers(const platform::HttpReply&) override {
        ++headerCalls;
        return acceptHeaders_;
    }
    bool body(const uint8_t* bytes, std::size_t count) override {
        if (headerCalls != 1) bodyBeforeHeaders = true;
        received.append(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
    int headerCalls = 0;
    bool bodyBeforeHeaders = false;
    std::string received;

private:
    bool acceptHeaders_;
};

// Byte i of the server's /object is i % 251.
inline bool isObject(const std::string& bytes, uint64_t from) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (static_cast<uint8_t>(bytes[i]) != (from + i) % 251) return false;
    }
    return true;
}

struct Interrupter {
    platform::HttpConnection* connection;
    uint32_t calledAt;
};

inline uint32_t interruptLater(void* argument) {
    auto* interrupter = static_cast<Interrupter*>(argument);
    platform::sleepMs(300);
    interrupter->calledAt = platform::tickCount();
    interrupter->connection->interrupt();
    return 0;
}

inline std::vector<Outcome> run(uint16_t port, uint16_t closedPort) {
    using platform::HttpOutcome;
    std::vector<Outcome> outcomes;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    platform::HttpLimits limits;
    outcomes.push_back({"the client starts", platform::startHttp()});

    platform::HttpConnection connection;
    struct RangeRow {
        const char* name;
        const char* path;
        uint64_t from;
        uint64_t length;
        int status;
        uint64_t bodyBytes;
    };
    const RangeRow rangeRows[] = {
        {"whole object: 200 with its length", "/object", 0, 0, 200, 100000},
        {"one range: 206 with the Content-Range asked for", "/object", 1000, 500, 206, 500},
        {"a redirect is followed with its range", "/redirect", 5, 10, 206, 10},
        {"a range past the end: 416, headers given once at the end", "/object", 200000, 10, 416, 0},
        {"404 is reported with its status", "/missing", 0, 0, 404, 8},
    };
    for (const RangeRow& row : rangeRows) {
        Collector sink;
        platform::HttpReply reply;
        HttpOutcome outcome = connection.get((base + row.path).c_str(), row.from, row.length, limits, sink, &reply);
        bool ok = outcome == HttpOutcome::Complete && reply.status == row.status && reply.lengthKnown &&
                  reply.contentLength == row.bodyBytes && reply.bodyBytes == row.bodyBytes &&
                  sink.received.size() == row.bodyBytes && sink.headerCalls == 1 && !sink.bodyBeforeHeaders;
        if (row.status == 206) {
            ok = ok && reply.rangeKnown && reply.rangeFirst == row.from &&
                 reply.rangeLast == row.from + row.length - 1 && reply.rangeTotal == 100000 &&
                 isObject(sink.received, row.from);
        } else {
            ok = ok && !reply.rangeKnown && (row.status != 200 || isObject(sink.received, 0));
        }
        outcomes.push_back({row.name, ok});
    }

    {
        Collector sink;
        platform::HttpReply reply;
        HttpOutcome outcome = connection.get((base + "/cut").c_str(), 0, 0, limits, sink, &reply);
        outcomes.push_back({"a body cut short is counted short",
                            (outcome == HttpOutcome::Complete || outcome == HttpOutcome::Failed) &&
                                reply.contentLength == 1000 && reply.bodyBytes == 500 &&
                                isObject(sink.received, 0)});
    }
    {
        Collector sink(false);
        platform::HttpReply reply;
        HttpOutcome outcome = connection.get((base + "/object").c_str(), 0, 0, limits, sink, &reply);
        outcomes.push_back({"a sink refusing the headers ends the GET",
                            outcome == HttpOutcome::Refused && reply.status == 200 && sink.received.empty() &&
                                reply.bodyBytes == 0});
    }
    {
        platform::HttpConnection first;
        platform::HttpConnection second;
        Collector a;
        Collector b;
        Collector c;
        bool ok = first.get((base + "/connection").c_str(), 0, 0, limits, a, nullptr) == HttpOutcome::Complete &&
                  first.get((base + "/connection").c_str(), 0, 0, limits, b, nullptr) == HttpOutcome::Complete &&
                  second.get((base + "/connection").c_str(), 0, 0, limits, c, nullptr) == HttpOutcome::Complete;
        outcomes.push_back({"two GETs on one connection share its socket",
                            ok && !a.received.empty() && a.received == b.received && c.received != a.received});
    }
    {
        Collector sink;
        platform::HttpReply reply;
        std::string url = "http://127.0.0.1:" + std::to_string(closedPort) + "/object";
        HttpOutcome outcome = connection.get(url.c_str(), 0, 0, limits, sink, &reply);
        outcomes.push_back({"a refused connect fails with a reason",
                            outcome == HttpOutcome::Failed && reply.status == 0 && !reply.reason.empty() &&
                                sink.headerCalls == 0});
    }
    {
        // The server sends 100 bytes and then holds the connection for 30 s.
        platform::HttpLimits floor;
        floor.floorBytes = 1000;
        floor.floorSeconds = 1;
        Collector sink;
        platform::HttpReply reply;
        const uint32_t start = platform::tickCount();
        HttpOutcome outcome = connection.get((base + "/stall").c_str(), 0, 0, floor, sink, &reply);
        const uint32_t elapsed = platform::tickCount() - start;
        outcomes.push_back({"a stalled body fails by the floor (" + std::to_string(elapsed) + " ms)",
                            outcome == HttpOutcome::Failed && !reply.reason.empty() && reply.bodyBytes == 100 &&
                                elapsed < 10000});
    }
    {
        platform::HttpConnection stalled;
        Interrupter interrupter{&stalled, 0};
        platform::ThreadHandle thread = platform::startThreadWith(interruptLater, &interrupter);
        Collector sink;
        platform::HttpReply reply;
        HttpOutcome outcome = stalled.get((base + "/stall").c_str(), 0, 0, limits, sink, &reply);
        const uint32_t late = platform::tickCount() - interrupter.calledAt;
        const bool joined = thread != nullptr && platform::waitForThread(thread, 5000);
        platform::releaseThread(thread);
        HttpOutcome after = stalled.get((base + "/object").c_str(), 0, 0, limits, sink, nullptr);
        outcomes.push_back({"interrupt ends a stalled GET from another thread (" + std::to_string(late) +
                                " ms after the call), and every later one",
                            joined && outcome == HttpOutcome::Interrupted && after == HttpOutcome::Interrupted &&
                                late < 5000});
    }
    return outcomes;
}

}  // namespace http_cases
