#include "close_reason.h"

namespace {

struct Names {
    const char* text;
    const char* label;
};

constexpr Names kClose[kCloseReasons] = {
    {"client left", "client_left"},
    {"not a request frame", "not_a_request"},
    {"no request after the client's pause", "no_request"},
    {"request time-out", "request_timeout"},
    {"reply stalled: the client took nothing", "reply_stalled"},
    {"idle time-out", "idle_timeout"},
    {"connection lost", "connection_lost"},
    {"receive failed", "receive_failed"},
    {"send failed", "send_failed"},
    {"served file shrank", "file_shrank"},
    {"dropped on purpose (--drop-after)", "drop_after"},
    {"server stopping", "stopping"},
    {"silent past the client's pause, made room for its address", "address_silent"},
    {"server full, made room for a newcomer: the longest silent of the address holding the most", "made_room"},
};

constexpr Names kRefuse[kRefuseReasons] = {
    {"its address has as many connections waiting as it may", "address_full"},
};

}  // namespace

const char* CloseReasonText(CloseReason reason) { return kClose[static_cast<std::size_t>(reason)].text; }
const char* CloseReasonLabel(CloseReason reason) { return kClose[static_cast<std::size_t>(reason)].label; }
const char* RefuseReasonText(RefuseReason reason) { return kRefuse[static_cast<std::size_t>(reason)].text; }
const char* RefuseReasonLabel(RefuseReason reason) { return kRefuse[static_cast<std::size_t>(reason)].label; }
