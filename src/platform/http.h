// Plain HTTP(S) GETs from the operating system's own client: WinHTTP
// (winhttp.dll, loaded at run time) on Windows, libcurl on POSIX. The core
// asks for bytes of a URL and gets them with a status and a reason; it takes
// nothing of the answer on trust (a mirror is a third party), so these calls
// only report what arrived and never judge it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// What one GET came to, as far as it got.
struct HttpReply {
    int status = 0;             // the HTTP status of the final answer; 0 when none arrived
    bool lengthKnown = false;   // a Content-Length arrived
    uint64_t contentLength = 0;
    bool rangeKnown = false;    // a Content-Range "bytes FIRST-LAST/TOTAL" arrived and parsed
    uint64_t rangeFirst = 0;
    uint64_t rangeLast = 0;
    uint64_t rangeTotal = 0;    // 0 for "/*"
    uint64_t bodyBytes = 0;     // bytes handed to the sink
    std::string reason;         // for the log when the GET failed: ASCII, one line
};

// Where the answer goes. headers() is called once, before any body byte,
// with status and the length and range fields filled; returning false ends
// the GET there (Refused). body() gets the bytes in order; returning false
// ends it too.
class HttpSink {
public:
    virtual ~HttpSink() = default;
    virtual bool headers(const HttpReply& reply) = 0;
    virtual bool body(const uint8_t* bytes, std::size_t count) = 0;
};

enum class HttpOutcome {
    Complete,     // the whole answer was read: the body ended as the transport says
                  // (compare bodyBytes with the lengths yourself: a cut body can look whole)
    Refused,      // the sink said no
    Failed,       // no answer or a broken one: name not resolved, connect, TLS,
                  // a read error, no byte for the idle time, slower than the floor
    Interrupted,  // interrupt() was called
};

// The least a transfer must keep up: fewer than floorBytes in any window of
// floorSeconds (from the first request byte on) fails it, and so does no
// connection within connectSeconds.
struct HttpLimits {
    uint32_t connectSeconds = 10;
    uint32_t floorBytes = 0;
    uint32_t floorSeconds = 0;  // 0: no floor
};

// Loads the system's client (once per process; more calls are cheap).
// False when it is not there: then no HTTP at all.
bool startHttp();

// One keep-alive connection, reused for GETs to the same origin; used by one
// thread at a time. Proxies are the system's: WinHTTP's automatic or default
// proxy on Windows, http_proxy / https_proxy / no_proxy on POSIX. https://
// uses the platform's TLS and trust store. Redirects are followed (at most 5),
// keeping the Range header.
class HttpConnection {
public:
    HttpConnection();
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // GET url (http:// or https://, ASCII). With length > 0 it sends exactly
    // one "Range: bytes=FROM-(FROM+LENGTH-1)" header, never a multi-range
    // one; with length 0 it sends no Range and from must be 0. No Accept-
    // Encoding is sent, so the body is the object's bytes.
    HttpOutcome get(const char* url, uint64_t from, uint64_t length, const HttpLimits& limits,
                    HttpSink& sink, HttpReply* reply);

    // From any thread: a get under way ends soon (within about 100 ms) with
    // Interrupted, and so does every later one on this connection.
    void interrupt();

private:
    void* state_;
};

}  // namespace platform
