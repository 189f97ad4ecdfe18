// Why the server ended a connection or refused one: named once here, so the
// log lines and the counters of the metrics always say the same thing.
#pragma once

#include <cstddef>

enum class CloseReason {
    ClientLeft,       // the client closed its end
    NotARequest,      // a frame whose size or code is no request's
    NoRequest,        // connected, and no whole request long after the client's pause
    RequestStalled,   // a request begun and not finished within the request time-out
    ReplyStalled,     // none of a reply taken by the client within the request time-out
    Idle,             // silent between requests past the idle time-out
    ConnectionLost,   // reset or error on the socket
    ReceiveFailed,
    SendFailed,
    FileShrank,       // the served file lost bytes its chunk header promised
    DropAfter,        // the --drop-after test fault
    Stopping,         // the server stops: closed between requests, or after its last reply
    AddressSilent,    // made room for a newcomer of its address: silent past the client's pause
    MadeRoom,         // the server was full: the longest silent of the address holding the most
    Count
};

enum class RefuseReason {
    AddressFull,      // its address holds as many waiting connections as it may
    Count
};

constexpr std::size_t kCloseReasons = static_cast<std::size_t>(CloseReason::Count);
constexpr std::size_t kRefuseReasons = static_cast<std::size_t>(RefuseReason::Count);

// The words of a log line ("request time-out").
const char* CloseReasonText(CloseReason reason);
const char* RefuseReasonText(RefuseReason reason);
// The label of a metric ("request_timeout").
const char* CloseReasonLabel(CloseReason reason);
const char* RefuseReasonLabel(RefuseReason reason);
