#include "metrics_endpoint.h"

#include <cstring>
#include <microhttpd.h>

#include "listen_socket.h"

namespace {

constexpr char kPrometheusType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";
// Scrapers and health checks are a handful of local programs; anything beyond
// waits in the backlog.
constexpr unsigned kMaxConnections = 16;
constexpr unsigned kConnectionTimeoutSeconds = 10;

struct Answer {
    unsigned status = MHD_HTTP_NOT_FOUND;
    std::string body = "not found\n";
    const char* type = kTextType;
};

Answer Route(const MetricsEndpoint::Sources& sources, const std::string& path, bool read)
{
    Answer answer;
    const bool metrics = path == "/metrics";
    const bool health = path == "/health" || path == "/healthz";
    if (!metrics && !health) return answer;
    if (!read) {
        answer.status = MHD_HTTP_METHOD_NOT_ALLOWED;
        answer.body = "only GET and HEAD\n";
    } else if (metrics) {
        answer.status = MHD_HTTP_OK;
        answer.body = sources.metrics();
        answer.type = kPrometheusType;
    } else {
        switch (sources.health()) {
        case Health::Serving:
            answer.status = MHD_HTTP_OK;
            answer.body = "ok\n";
            break;
        case Health::Starting:
            answer.status = MHD_HTTP_SERVICE_UNAVAILABLE;
            answer.body = "starting\n";
            break;
        case Health::Draining:
            answer.status = MHD_HTTP_SERVICE_UNAVAILABLE;
            answer.body = "draining\n";
            break;
        }
    }
    return answer;
}

MHD_Result Respond(void* context, MHD_Connection* connection, const char* url, const char* method,
                   const char* /*version*/, const char* /*uploadData*/, size_t* /*uploadSize*/, void** /*state*/)
{
    const auto& sources = *static_cast<const MetricsEndpoint::Sources*>(context);
    const bool read = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const Answer answer = Route(sources, url, read);
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
    if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

MetricsEndpoint::MetricsEndpoint(Sources sources) : sources_(std::move(sources)) {}

MetricsEndpoint::~MetricsEndpoint()
{
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

bool MetricsEndpoint::Open(const std::string& host, int port, std::string* error)
{
    // Our own socket, so that the metrics take the same addresses as the
    // server's port, IPv6 included.
    const int fd = OpenListenSocket(host, port, SocketUse::Listen, error);
    if (fd < 0) {
        *error = "metrics endpoint: " + *error;
        return false;
    }
    port_ = LocalPort(fd);
    daemon_ = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &Respond, &sources_,
                               MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                               MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        // The socket is left alone: whether a failed start closed it is not
        // documented, and the server ends on this error anyway.
        *error = "metrics endpoint: libmicrohttpd did not start on " + EndpointText(host, port_);
        return false;
    }
    return true;
}
