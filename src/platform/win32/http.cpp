#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/http.h"
#include "platform/http_fields.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "platform/win32/system_library.h"

namespace platform {

namespace {

// winhttp.dll is loaded on first use from the system directory instead of
// being imported: the DLL imports nothing beyond the system's core DLLs, and
// a run without HTTP sources never touches it.
struct WinHttp {
    bool loaded = false;
    decltype(&::WinHttpOpen) open = nullptr;
    decltype(&::WinHttpConnect) connect = nullptr;
    decltype(&::WinHttpOpenRequest) openRequest = nullptr;
    decltype(&::WinHttpSendRequest) sendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) queryHeaders = nullptr;
    decltype(&::WinHttpQueryDataAvailable) queryDataAvailable = nullptr;
    decltype(&::WinHttpReadData) readData = nullptr;
    decltype(&::WinHttpCloseHandle) closeHandle = nullptr;
    decltype(&::WinHttpCrackUrl) crackUrl = nullptr;
    decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
    decltype(&::WinHttpSetOption) setOption = nullptr;
};

template <typename T>
bool bind(HMODULE module, const char* name, T* out) {
    *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
}

WinHttp loadWinHttp() {
    WinHttp api;
    HMODULE module = win32::loadSystemLibrary("winhttp.dll");
    if (module == nullptr) return api;
    api.loaded = bind(module, "WinHttpOpen", &api.open) && bind(module, "WinHttpConnect", &api.connect) &&
                 bind(module, "WinHttpOpenRequest", &api.openRequest) &&
                 bind(module, "WinHttpSendRequest", &api.sendRequest) &&
                 bind(module, "WinHttpReceiveResponse", &api.receiveResponse) &&
                 bind(module, "WinHttpQueryHeaders", &api.queryHeaders) &&
                 bind(module, "WinHttpQueryDataAvailable", &api.queryDataAvailable) &&
                 bind(module, "WinHttpReadData", &api.readData) &&
                 bind(module, "WinHttpCloseHandle", &api.closeHandle) &&
                 bind(module, "WinHttpCrackUrl", &api.crackUrl) &&
                 bind(module, "WinHttpSetTimeouts", &api.setTimeouts) &&
                 bind(module, "WinHttpSetOption", &api.setOption);
    return api;
}

const WinHttp& winHttp() {
    static const WinHttp loaded = loadWinHttp();
    return loaded;
}

// How long a read may wait for a byte when no floor is set: WinHTTP's own
// default receive timeout.
constexpr DWORD kIdleMs = 30000;

constexpr DWORD kReadSize = 64 * 1024;

// One connection: the session keeps WinHTTP's pool of sockets, so a later GET
// to the same origin reuses the socket; the connect handle names that origin.
// The request under way is shared with interrupt(), under the lock.
struct WinHttpConnection {
    CRITICAL_SECTION lock;
    HINTERNET session = nullptr;
    HINTERNET target = nullptr;
    std::wstring host;
    INTERNET_PORT port = 0;
    HINTERNET request = nullptr;
    volatile LONG interrupted = 0;
};

std::string decimal(uint64_t value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Header values are ASCII; anything else becomes a byte no parser accepts.
std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != 0; ++text) result += *text < 0x80 ? static_cast<char>(*text) : '?';
    return result;
}

std::string reasonFor(DWORD error) {
    struct Known {
        DWORD code;
        const char* text;
    };
    static const Known known[] = {
        {ERROR_WINHTTP_TIMEOUT, "timed out"},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, "name not resolved"},
        {ERROR_WINHTTP_CANNOT_CONNECT, "connect failed"},
        {ERROR_WINHTTP_CONNECTION_ERROR, "connection reset or closed"},
        {ERROR_WINHTTP_OPERATION_CANCELLED, "cancelled"},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "invalid server response"},
        {ERROR_WINHTTP_REDIRECT_FAILED, "redirect failed"},
        {ERROR_WINHTTP_SECURE_FAILURE, "TLS certificate not accepted"},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "TLS channel error"},
        {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "not an http or https URL"},
        {ERROR_WINHTTP_INVALID_URL, "invalid URL"},
    };
    std::string reason = "WinHTTP error " + decimal(error);
    for (const Known& entry : known) {
        if (entry.code == error) reason += std::string(": ") + entry.text;
    }
    return reason;
}

HttpOutcome failWith(HttpReply* reply, const std::string& reason) {
    reply->reason = reason;
    return HttpOutcome::Failed;
}

// The session and the connect handle for this origin, made anew only when
// the origin changes. The automatic proxy (Windows 8.1 on) falls back to the
// configured one where it is unknown.
bool openTarget(const WinHttp& api, WinHttpConnection* connection, const std::wstring& host, INTERNET_PORT port) {
    if (connection->session == nullptr) {
        connection->session = api.open(L"AutoUpdate", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0);
        if (connection->session == nullptr) {
            connection->session = api.open(L"AutoUpdate", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0);
        }
        if (connection->session == nullptr) return false;
    }
    if (connection->target != nullptr && connection->host == host && connection->port == port) return true;
    if (connection->target != nullptr) api.closeHandle(connection->target);
    connection->target = api.connect(connection->session, host.c_str(), port, 0);
    connection->host = host;
    connection->port = port;
    return connection->target != nullptr;
}

// Makes the request the one interrupt() closes; false when an interrupt came
// first (the request is closed then).
bool publish(const WinHttp& api, WinHttpConnection* connection, HINTERNET request) {
    EnterCriticalSection(&connection->lock);
    const bool interrupted = connection->interrupted != 0;
    if (interrupted) {
        api.closeHandle(request);
    } else {
        connection->request = request;
    }
    LeaveCriticalSection(&connection->lock);
    return !interrupted;
}

// Closes the request unless interrupt() already did.
void retire(const WinHttp& api, WinHttpConnection* connection) {
    EnterCriticalSection(&connection->lock);
    if (connection->request != nullptr) api.closeHandle(connection->request);
    connection->request = nullptr;
    LeaveCriticalSection(&connection->lock);
}

bool queryText(const WinHttp& api, HINTERNET request, DWORD field, std::string* value) {
    wchar_t text[128];
    DWORD size = sizeof text;
    if (!api.queryHeaders(request, field, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    text[size / sizeof(wchar_t) < 128 ? size / sizeof(wchar_t) : 127] = 0;
    *value = narrow(text);
    return true;
}

void readFields(const WinHttp& api, HINTERNET request, HttpReply* reply) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (api.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                         WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
        status < 1000) {
        reply->status = static_cast<int>(status);
    }
    std::string value;
    if (queryText(api, request, WINHTTP_QUERY_CONTENT_LENGTH, &value)) parseContentLength(value, reply);
    if (queryText(api, request, WINHTTP_QUERY_CONTENT_RANGE, &value)) parseContentRange(value, reply);
}

// The blocking calls of one GET run on a thread of their own, because
// Wine's WinHTTP does not end a synchronous call when another thread closes
// its handle: the calling thread waits in short steps for each result and
// can leave at once on an interrupt or a missed floor. The sink is only ever
// called on the calling thread. An abandoned worker ends when its call
// returns (by the receive timeout at the latest) and frees the job.
struct Job {
    const WinHttp* api;
    HINTERNET request;
    std::wstring rangeHeader;
    Mutex mutex;
    Condition changed;
    // What the worker posted; it waits until the caller clears `posted`
    // (the chunk is read) or sets `leave`.
    enum Stage { Headers, Body, End, Broken } stage = Broken;
    bool posted = false;
    bool leave = false;
    DWORD error = 0;
    HttpReply fields;
    std::string buffer = std::string(kReadSize, '\0');
    DWORD count = 0;
    LONG owners = 2;
};

void letGo(Job* job) {
    if (InterlockedDecrement(&job->owners) == 0) delete job;
}

// False when the caller has left: then the worker makes no further call.
bool post(Job* job, Job::Stage stage) {
    MutexLock lock(job->mutex);
    job->stage = stage;
    job->posted = true;
    job->changed.wakeAll();
    while (job->posted && !job->leave) job->changed.wait(job->mutex, 1000);
    return !job->leave;
}

uint32_t runJob(void* argument) {
    auto* job = static_cast<Job*>(argument);
    const WinHttp& api = *job->api;
    const BOOL sent = job->rangeHeader.empty()
                          ? api.sendRequest(job->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
                          : api.sendRequest(job->request, job->rangeHeader.c_str(), static_cast<DWORD>(-1),
                                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (!sent || !api.receiveResponse(job->request, nullptr)) {
        job->error = GetLastError();
        post(job, Job::Broken);
    } else {
        readFields(api, job->request, &job->fields);
        bool going = post(job, Job::Headers);
        // Wine's WinHttpReadData waits until the whole buffer is filled; asking
        // first for what is there hands each byte on as it arrives.
        while (going) {
            DWORD available = 0;
            job->count = 0;
            if (!api.queryDataAvailable(job->request, &available) ||
                (available > 0 && !api.readData(job->request, &job->buffer[0],
                                                available < kReadSize ? available : kReadSize, &job->count))) {
                job->error = GetLastError();
                post(job, Job::Broken);
                break;
            }
            going = post(job, job->count == 0 ? Job::End : Job::Body) && job->count != 0;
        }
    }
    letGo(job);
    return 0;
}

// How long the caller waits for the worker between looks at the interrupt
// flag and the floor.
constexpr uint32_t kStepMs = 50;

// The caller's side: hands each posted stage to the sink, measures the floor
// in windows of floorSeconds from the request on, and leaves on an interrupt.
HttpOutcome follow(Job* job, WinHttpConnection* connection, const HttpLimits& limits, HttpSink& sink,
                   HttpReply* reply) {
    const uint32_t floorMs = limits.floorSeconds * 1000u;
    uint32_t windowStart = tickCount();
    uint64_t windowBytes = 0;
    MutexLock lock(job->mutex);
    for (;;) {
        while (!job->posted && connection->interrupted == 0 &&
               (floorMs == 0 || tickCount() - windowStart < floorMs)) {
            job->changed.wait(job->mutex, kStepMs);
        }
        if (connection->interrupted != 0) return HttpOutcome::Interrupted;
        if (floorMs != 0 && tickCount() - windowStart >= floorMs) {
            if (windowBytes < limits.floorBytes) return failWith(reply, "slower than the floor");
            windowStart = tickCount();
            windowBytes = 0;
            if (!job->posted) continue;
        }
        switch (job->stage) {
        case Job::Broken:
            return failWith(reply, reasonFor(job->error));
        case Job::End:
            // Wine ends a body cut short like a whole one: the caller
            // compares bodyBytes with the lengths.
            return HttpOutcome::Complete;
        case Job::Headers: {
            const HttpReply fields = job->fields;
            reply->status = fields.status;
            reply->lengthKnown = fields.lengthKnown;
            reply->contentLength = fields.contentLength;
            reply->rangeKnown = fields.rangeKnown;
            reply->rangeFirst = fields.rangeFirst;
            reply->rangeLast = fields.rangeLast;
            reply->rangeTotal = fields.rangeTotal;
            if (!sink.headers(*reply)) {
                reply->reason = "refused by the receiver";
                return HttpOutcome::Refused;
            }
            break;
        }
        case Job::Body:
            reply->bodyBytes += job->count;
            windowBytes += job->count;
            if (!sink.body(reinterpret_cast<const uint8_t*>(job->buffer.data()), job->count)) {
                reply->reason = "refused by the receiver";
                return HttpOutcome::Refused;
            }
            break;
        }
        job->posted = false;
        job->changed.wakeAll();
    }
}

HttpOutcome exchange(const WinHttp& api, WinHttpConnection* connection, HINTERNET request,
                     const std::wstring& rangeHeader, const HttpLimits& limits, HttpSink& sink, HttpReply* reply) {
    const int connectMs = static_cast<int>(limits.connectSeconds * 1000u);
    const int waitMs = static_cast<int>(limits.floorSeconds > 0 ? limits.floorSeconds * 1000u : kIdleMs);
    api.setTimeouts(request, connectMs, connectMs, waitMs, waitMs);
    DWORD redirects = 5;
    api.setOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
    auto* job = new Job;
    job->api = &api;
    job->request = request;
    job->rangeHeader = rangeHeader;
    ThreadHandle worker = startThreadWith(runJob, job);
    if (worker == nullptr) {
        delete job;
        return failWith(reply, "no thread for the request");
    }
    releaseThread(worker);
    const HttpOutcome outcome = follow(job, connection, limits, sink, reply);
    {
        MutexLock lock(job->mutex);
        job->leave = true;
        job->changed.wakeAll();
    }
    letGo(job);
    return outcome;
}

}  // namespace

bool startHttp() { return winHttp().loaded; }

HttpConnection::HttpConnection() : state_(new WinHttpConnection) {
    InitializeCriticalSection(&static_cast<WinHttpConnection*>(state_)->lock);
}

HttpConnection::~HttpConnection() {
    auto* connection = static_cast<WinHttpConnection*>(state_);
    const WinHttp& api = winHttp();
    if (api.loaded) {
        if (connection->target != nullptr) api.closeHandle(connection->target);
        if (connection->session != nullptr) api.closeHandle(connection->session);
    }
    DeleteCriticalSection(&connection->lock);
    delete connection;
}

HttpOutcome HttpConnection::get(const char* url, uint64_t from, uint64_t length, const HttpLimits& limits,
                                HttpSink& sink, HttpReply* reply) {
    auto* connection = static_cast<WinHttpConnection*>(state_);
    HttpReply ownReply;
    if (reply == nullptr) reply = &ownReply;
    *reply = HttpReply{};
    if (connection->interrupted != 0) {
        reply->reason = "interrupted";
        return HttpOutcome::Interrupted;
    }
    const WinHttp& api = winHttp();
    if (!api.loaded) return failWith(reply, "winhttp.dll not available");
    if (length == 0 && from != 0) return failWith(reply, "a range needs a length");
    if (length > 0 && from > UINT64_MAX - length + 1) return failWith(reply, "range past the largest offset");

    const std::wstring wideUrl = widen(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!api.crackUrl(wideUrl.c_str(), 0, 0, &parts)) return failWith(reply, reasonFor(GetLastError()));
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        return failWith(reply, "not an http or https URL");
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";
    if (!openTarget(api, connection, host, parts.nPort)) return failWith(reply, reasonFor(GetLastError()));

    HINTERNET request = api.openRequest(connection->target, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr) return failWith(reply, reasonFor(GetLastError()));
    if (!publish(api, connection, request)) {
        reply->reason = "interrupted";
        return HttpOutcome::Interrupted;
    }
    const std::wstring rangeHeader =
        length == 0 ? std::wstring() : widen("Range: bytes=" + decimal(from) + "-" + decimal(from + length - 1));
    const HttpOutcome outcome = exchange(api, connection, request, rangeHeader, limits, sink, reply);
    retire(api, connection);
    if (outcome != HttpOutcome::Complete && outcome != HttpOutcome::Refused && connection->interrupted != 0) {
        reply->reason = "interrupted";
        return HttpOutcome::Interrupted;
    }
    return outcome;
}

// Closing the request handle is WinHTTP's way to end a call blocked on it in
// another thread (Wine's ends it only by its timeout; the caller has left
// by then). The worker makes no call on the handle once the caller has
// left, save for one it may be just entering: that one fails on the closed
// handle.
void HttpConnection::interrupt() {
    auto* connection = static_cast<WinHttpConnection*>(state_);
    EnterCriticalSection(&connection->lock);
    InterlockedExchange(&connection->interrupted, 1);
    if (connection->request != nullptr) winHttp().closeHandle(connection->request);
    connection->request = nullptr;
    LeaveCriticalSection(&connection->lock);
}

}  // namespace platform
