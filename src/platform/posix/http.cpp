#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/http.h"
#include "platform/http_fields.h"

namespace platform {

namespace {

// How long one wait for the socket lasts before the interrupt flag is looked
// at again; interrupt() also wakes the wait at once.
constexpr int kPollMs = 50;

// One connection: a multi handle holding the connection cache (so a later GET
// to the same origin reuses the socket) and the easy handle of the transfers.
// Both are made in the constructor and never change, so interrupt() may read
// them from another thread.
struct CurlConnection {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    std::atomic<bool> interrupted{false};
};

// What one transfer's callbacks share.
struct Transfer {
    CurlConnection* connection;
    HttpSink* sink;
    HttpReply* reply;
    bool headersGiven = false;
    bool refused = false;
};

bool startsWithNoCase(const char* text, std::size_t length, const char* prefix) {
    std::size_t prefixLength = std::strlen(prefix);
    return length >= prefixLength && strncasecmp(text, prefix, prefixLength) == 0;
}

std::string headerValue(const char* line, std::size_t length, std::size_t nameLength) {
    std::string value(line + nameLength, length - nameLength);
    std::size_t first = value.find_first_not_of(" \t");
    std::size_t last = value.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

// Each status line starts a new answer (a redirect, a 100 Continue), so what
// an earlier one said is dropped: only the final answer's fields are kept.
size_t onHeader(char* line, size_t size, size_t count, void* data) {
    auto* transfer = static_cast<Transfer*>(data);
    HttpReply* reply = transfer->reply;
    const std::size_t length = size * count;
    if (startsWithNoCase(line, length, "HTTP/")) {
        const uint64_t bodyBytes = reply->bodyBytes;
        *reply = HttpReply{};
        reply->bodyBytes = bodyBytes;
        const char* space = static_cast<const char*>(std::memchr(line, ' ', length));
        if (space != nullptr) {
            std::string rest(space + 1, line + length - (space + 1));
            std::size_t at = 0;
            uint64_t status = 0;
            if (readDecimal(rest, &at, &status) && status < 1000) reply->status = static_cast<int>(status);
        }
    } else if (startsWithNoCase(line, length, "content-length:")) {
        parseContentLength(headerValue(line, length, 15), reply);
    } else if (startsWithNoCase(line, length, "content-range:")) {
        parseContentRange(headerValue(line, length, 14), reply);
    }
    return length;
}

bool giveHeaders(Transfer* transfer) {
    if (transfer->headersGiven) return true;
    transfer->headersGiven = true;
    if (!transfer->sink->headers(*transfer->reply)) transfer->refused = true;
    return !transfer->refused;
}

// libcurl hands over only the final answer's body (a redirect's is skipped).
size_t onBody(char* bytes, size_t size, size_t count, void* data) {
    auto* transfer = static_cast<Transfer*>(data);
    const std::size_t length = size * count;
    if (transfer->connection->interrupted || !giveHeaders(transfer)) return 0;
    transfer->reply->bodyBytes += length;
    if (!transfer->sink->body(reinterpret_cast<const uint8_t*>(bytes), length)) {
        transfer->refused = true;
        return 0;
    }
    return length;
}

int onProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(data)->connection->interrupted ? 1 : 0;
}

// One printable ASCII line for the log.
std::string asciiLine(const char* text) {
    std::string line;
    for (const char* at = text; *at != '\0'; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c == '\n' || c == '\r') break;
        line += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return line;
}

HttpOutcome failWith(HttpReply* reply, const char* reason) {
    reply->reason = reason;
    return HttpOutcome::Failed;
}

void setOptions(CURL* easy, const char* url, const char* range, const HttpLimits& limits, Transfer* transfer,
                char* errorText) {
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "AutoUpdate");
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectSeconds));
    if (limits.floorSeconds > 0) {
        const uint32_t perSecond = limits.floorBytes / limits.floorSeconds;
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(perSecond > 0 ? perSecond : 1));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.floorSeconds));
    }
    if (range != nullptr) curl_easy_setopt(easy, CURLOPT_RANGE, range);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer);
}

// Runs the transfer until it ends or the connection is interrupted; the
// transfer's own result, or CURLE_ABORTED_BY_CALLBACK after an interrupt.
CURLcode perform(CurlConnection* connection) {
    if (curl_multi_add_handle(connection->multi, connection->easy) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(connection->multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        if (CURLMsg* message = curl_multi_info_read(connection->multi, &queued)) {
            if (message->msg == CURLMSG_DONE) result = message->data.result;
            break;
        }
        if (connection->interrupted) break;
        curl_multi_poll(connection->multi, nullptr, 0, kPollMs, nullptr);
    }
    curl_multi_remove_handle(connection->multi, connection->easy);
    return result;
}

}  // namespace

bool startHttp() {
    static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return started;
}

HttpConnection::HttpConnection() : state_(new CurlConnection) {
    auto* connection = static_cast<CurlConnection*>(state_);
    if (!startHttp()) return;
    connection->multi = curl_multi_init();
    connection->easy = curl_easy_init();
}

HttpConnection::~HttpConnection() {
    auto* connection = static_cast<CurlConnection*>(state_);
    if (connection->easy != nullptr) curl_easy_cleanup(connection->easy);
    if (connection->multi != nullptr) curl_multi_cleanup(connection->multi);
    delete connection;
}

HttpOutcome HttpConnection::get(const char* url, uint64_t from, uint64_t length, const HttpLimits& limits,
                                HttpSink& sink, HttpReply* reply) {
    auto* connection = static_cast<CurlConnection*>(state_);
    HttpReply ownReply;
    if (reply == nullptr) reply = &ownReply;
    *reply = HttpReply{};
    if (connection->interrupted) {
        reply->reason = "interrupted";
        return HttpOutcome::Interrupted;
    }
    if (connection->multi == nullptr || connection->easy == nullptr) return failWith(reply, "libcurl not available");
    if (length == 0 && from != 0) return failWith(reply, "a range needs a length");
    if (length > 0 && from > UINT64_MAX - length + 1) return failWith(reply, "range past the largest offset");

    char range[48];
    if (length > 0) {
        std::snprintf(range, sizeof range, "%llu-%llu", static_cast<unsigned long long>(from),
                      static_cast<unsigned long long>(from + length - 1));
    }
    char errorText[CURL_ERROR_SIZE] = "";
    Transfer transfer{connection, &sink, reply};
    setOptions(connection->easy, url, length > 0 ? range : nullptr, limits, &transfer, errorText);
    const CURLcode result = perform(connection);

    if (transfer.refused) {
        reply->reason = "refused by the receiver";
        return HttpOutcome::Refused;
    }
    if (result == CURLE_OK) {
        // An empty body: the headers were not given yet.
        if (!giveHeaders(&transfer)) {
            reply->reason = "refused by the receiver";
            return HttpOutcome::Refused;
        }
        return HttpOutcome::Complete;
    }
    if (connection->interrupted) {
        reply->reason = "interrupted";
        return HttpOutcome::Interrupted;
    }
    reply->reason = asciiLine(errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
    return HttpOutcome::Failed;
}

void HttpConnection::interrupt() {
    auto* connection = static_cast<CurlConnection*>(state_);
    connection->interrupted = true;
    if (connection->multi != nullptr) curl_multi_wakeup(connection->multi);
}

}  // namespace platform
