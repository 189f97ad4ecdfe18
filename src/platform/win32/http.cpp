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

struct Worker;

// One connection: the session keeps WinHTTP's pool of sockets, so a later GET
// to the same origin reuses the socket; the connect handle names that origin.
// The request under way is shared with interrupt(), under the lock.
struct WinHttpConnection {
    Worker* worker = nullptr;
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

// The blocking calls of a connection's GETs run on a worker thread, because
// Wine's WinHTTP does not end a synchronous call when another thread closes
// its handle: the calling thread waits in short steps for each result and
// can leave at once on an interrupt or a missed floor. The sink is only ever
// called on the calling thread. The worker stays for the next GET (a thread
// costs milliseconds under Wine); one still blocked in a call when the next
// GET starts is let go: it ends when that call returns (by the receive
// timeout at the latest), and the last of it and the connection to let go
// frees what they share.
struct Worker {
    const WinHttp* api = nullptr;
    Mutex mutex;
    Condition changed;
    // The GET handed over; busy until the worker has left it.
    bool hasJob = false;
    bool busy = false;
    HINTERNET request = nullptr;
    std::wstring rangeHeader;
    // What the worker posted; it waits until the caller clears `posted` (the
    // chunk is read) or sets `leave` (the GET is over for the caller).
    enum Stage { Headers, Body, End, Broken } stage = Broken;
    bool posted = false;
    bool leave = false;
    bool quit = false;  // the connection let go of it
    DWORD error = 0;
    HttpReply fields;
    std::string buffer = std::string(kReadSize, '\0');
    DWORD count = 0;
    LONG owners = 2;
};

void letGo(Worker* worker) {
    if (InterlockedDecrement(&worker->owners) == 0) delete worker;
}

// False when the caller has left: then the worker makes no further call.
bool post(Worker* worker, Worker::Stage stage) {
    MutexLock lock(worker->mutex);
    worker->stage = stage;
    worker->posted = true;
    worker->changed.wakeAll();
    while (worker->posted && !worker->leave) worker->changed.wait(worker->mutex, 1000);
    return !worker->leave;
}

void runJob(Worker* worker) {
    const WinHttp& api = *worker->api;
    HINTERNET request = worker->request;
    const BOOL sent = worker->rangeHeader.empty()
                          ? api.sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
                          : api.sendRequest(request, worker->rangeHeader.c_str(), static_cast<DWORD>(-1),
                                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (!sent || !api.receiveResponse(request, nullptr)) {
        worker->error = GetLastError();
        post(worker, Worker::Broken);
        return;
    }
    readFields(api, request, &worker->fields);
    bool going = post(worker, Worker::Headers);
    // Wine's WinHttpReadData waits until the whole buffer is filled; asking
    // first for what is there hands each byte on as it arrives.
    while (going) {
        DWORD available = 0;
        worker->count = 0;
        if (!api.queryDataAvailable(request, &available) ||
            (available > 0 && !api.readData(request, &worker->buffer[0], available < kReadSize ? available : kReadSize,
                                            &worker->count))) {
            worker->error = GetLastError();
            post(worker, Worker::Broken);
            return;
        }
        going = post(worker, worker->count == 0 ? Worker::End : Worker::Body) && worker->count != 0;
    }
}

uint32_t runWorker(void* argument) {
    auto* worker = static_cast<Worker*>(argument);
    for (;;) {
        {
            MutexLock lock(worker->mutex);
            while (!worker->hasJob && !worker->quit) worker->changed.wait(worker->mutex, 1000);
            if (worker->quit) break;
            worker->hasJob = false;
        }
        runJob(worker);
        MutexLock lock(worker->mutex);
        worker->busy = false;
        worker->changed.wakeAll();
    }
    letGo(worker);
    return 0;
}

void dismiss(Worker* worker) {
    {
        MutexLock lock(worker->mutex);
        worker->quit = true;
        worker->changed.wakeAll();
    }
    letGo(worker);
}

// How long the caller waits for the worker between looks at the interrupt
// flag and the floor.
constexpr uint32_t kStepMs = 50;

// The caller's side: hands each posted stage to the sink, measures the floor
// in windows of floorSeconds from the request on, and leaves on an interrupt.
HttpOutcome follow(Worker* worker, WinHttpConnection* connection, const HttpLimits& limits, HttpSink& sink,
                   HttpReply* reply) {
    const uint32_t floorMs = limits.floorSeconds * 1000u;
    uint32_t windowStart = tickCount();
    uint64_t windowBytes = 0;
    MutexLock lock(worker->mutex);
    for (;;) {
        while (!worker->posted && connection->interrupted == 0 &&
               (floorMs == 0 || tickCount() - windowStart < floorMs)) {
            worker->changed.wait(worker->mutex, kStepMs);
        }
        if (connection->interrupted != 0) return HttpOutcome::Interrupted;
        if (floorMs != 0 && tickCount() - windowStart >= floorMs) {
            if (windowBytes < limits.floorBytes) return failWith(reply, "slower than the floor");
            windowStart = tickCount();
            windowBytes = 0;
            if (!worker->posted) continue;
        }
        switch (worker->stage) {
        case Worker::Broken:
            return failWith(reply, reasonFor(worker->error));
        case Worker::End:
            // Wine ends a body cut short like a whole one: the caller
            // compares bodyBytes with the lengths.
            return HttpOutcome::Complete;
        case Worker::Headers: {
            const HttpReply fields = worker->fields;
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
        case Worker::Body:
            reply->bodyBytes += worker->count;
            windowBytes += worker->count;
            if (!sink.body(reinterpret_cast<const uint8_t*>(worker->buffer.data()), worker->count)) {
                reply->reason = "refused by the receiver";
                return HttpOutcome::Refused;
            }
            break;
        }
        worker->posted = false;
        worker->changed.wakeAll();
    }
}

// How long a GET waits for the worker to finish leaving the one before
// (it has no call to make) before it lets the worker go and starts another.
constexpr uint32_t kSettleMs = 50;

// An idle worker for the next GET: the connection's own, or a new one.
Worker* idleWorker(const WinHttp& api, WinHttpConnection* connection) {
    if (Worker* worker = connection->worker) {
        bool idle;
        {
            MutexLock lock(worker->mutex);
            const uint32_t start = tickCount();
            while (worker->busy && tickCount() - start < kSettleMs) worker->changed.wait(worker->mutex, kStepMs);
            idle = !worker->busy;
        }
        if (idle) return worker;
        dismiss(worker);
        connection->worker = nullptr;
    }
    auto* worker = new Worker;
    worker->api = &api;
    ThreadHandle thread = startThreadWith(runWorker, worker);
    if (thread == nullptr) {
        delete worker;
        return nullptr;
    }
    releaseThread(thread);
    connection->worker = worker;
    return worker;
}

HttpOutcome exchange(const WinHttp& api, WinHttpConnection* connection, HINTERNET request,
                     const std::wstring& rangeHeader, const HttpLimits& limits, HttpSink& sink, HttpReply* reply) {
    const int connectMs = static_cast<int>(limits.connectSeconds * 1000u);
    const int waitMs = static_cast<int>(limits.floorSeconds > 0 ? limits.floorSeconds * 1000u : kIdleMs);
    api.setTimeouts(request, connectMs, connectMs, waitMs, waitMs);
    DWORD redirects = 5;
    api.setOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
    Worker* worker = idleWorker(api, connection);
    if (worker == nullptr) return failWith(reply, "no thread for the request");
    {
        MutexLock lock(worker->mutex);
        worker->request = request;
        worker->rangeHeader = rangeHeader;
        worker->posted = false;
        worker->leave = false;
        worker->error = 0;
        worker->fields = HttpReply{};
        worker->busy = true;
        worker->hasJob = true;
        worker->changed.wakeAll();
    }
    const HttpOutcome outcome = follow(worker, connection, limits, sink, reply);
    MutexLock lock(worker->mutex);
    worker->leave = true;
    worker->changed.wakeAll();
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
    if (connection->worker != nullptr) dismiss(connection->worker);
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
