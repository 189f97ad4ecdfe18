#include "listen_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

std::string Unbracketed(const std::string& host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

std::string EndpointText(const std::string& host, int port)
{
    const std::string bare = Unbracketed(host);
    const std::string shown = bare.find(':') == std::string::npos ? bare : "[" + bare + "]";
    return shown + ":" + std::to_string(port);
}

int OpenListenSocket(const std::string& host, int port, SocketUse use, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // Numeric only: a name would need a resolver at start and could change
    // meaning between restarts.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string bare = Unbracketed(host);
    if (bare.empty() || getaddrinfo(bare.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        *error = "cannot listen on " + EndpointText(host, port) + ": not a numeric IPv4 or IPv6 address";
        return -1;
    }
    const int family = found->ai_family;
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int cause = errno;
    bool ok = fd >= 0;
    int yes = 1;
    int no = 0;
    if (ok) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // Several loops listen on one port; the kernel spreads new connections.
    if (ok && use == SocketUse::ListenShared) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    // The clients speak IPv4 only, so "::" must reach them too, whatever the
    // host's net.ipv6.bindv6only says.
    if (ok && family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    ok = ok && bind(fd, found->ai_addr, found->ai_addrlen) == 0;
    ok = ok && (use == SocketUse::Probe || listen(fd, SOMAXCONN) == 0);
    if (!ok) cause = errno;
    freeaddrinfo(found);
    if (!ok) {
        if (fd >= 0) close(fd);
        *error = "cannot listen on " + EndpointText(host, port) + ": " + std::strerror(cause);
        return -1;
    }
    return fd;
}

uint16_t LocalPort(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

std::string PeerAddress(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    }
    return text;
}

std::string AddressGroup(const sockaddr_storage& address)
{
    if (address.ss_family != AF_INET6) return PeerAddress(address);
    in6_addr prefix = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&prefix)) return PeerAddress(address);
    std::memset(prefix.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET6, &prefix, text, sizeof text);
    return std::string(text) + "/64";
}

std::string PeerName(const sockaddr_storage& address)
{
    const std::string host = PeerAddress(address);
    if (address.ss_family == AF_INET) {
        return host + ":" + std::to_string(ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const uint16_t port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
        return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
    }
    return "?";
}
