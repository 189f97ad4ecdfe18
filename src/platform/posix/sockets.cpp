#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kReadTimeoutSeconds = 60;

// The run keeps 0 as "no socket", and 0..2 are the standard streams, so a
// socket descriptor is always above them.
bool isSocketDescriptor(Socket socket) {
    return socket != kInvalidSocket && socket > 2 && socket <= static_cast<Socket>(INT_MAX);
}

int moveAboveStandardStreams(int fd) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

void applyOptions(int fd) {
    timeval timeout{kReadTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// A BSD socket whose connect failed cannot be connected again, while the
// caller keeps using the same Socket value for its next attempt: put a new
// socket under the same descriptor number. The errno of the failure, 0 when
// the descriptor now holds a fresh socket of the family.
int renewSocket(int fd, int family = AF_INET) {
    int fresh = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fresh < 0) return errno;
    int error = dup3(fresh, fd, O_CLOEXEC) >= 0 ? 0 : errno;
    if (error == 0) applyOptions(fd);
    close(fresh);
    return error;
}

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The errno of a connect attempt, 0 when connected.
int connectWithTimeout(int fd, const sockaddr* address, socklen_t length) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return errno;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;

    int error = 0;
    if (::connect(fd, address, length) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            long long deadline = monotonicMs() + kConnectTimeoutMs;
            error = ETIMEDOUT;
            for (;;) {
                long long left = deadline - monotonicMs();
                if (left <= 0) break;
                pollfd waiting{fd, POLLOUT, 0};
                int ready = poll(&waiting, 1, static_cast<int>(left));
                if (ready < 0 && errno == EINTR) continue;
                if (ready < 0) {
                    error = errno;
                    break;
                }
                if (ready == 0) break;
                int soError = 0;
                socklen_t soLength = sizeof soError;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0) soError = errno;
                error = soError;
                break;
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    return error;
}

// The resolver's failures as the Windows resolver reports them.
uint32_t translateResolverError(int status) {
    switch (status) {
    case EAI_AGAIN: return 11002;       // WSATRY_AGAIN
    case EAI_FAIL: return 11003;        // WSANO_RECOVERY
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return 11004;  // WSANO_DATA
    case EAI_MEMORY: return 8;          // ERROR_NOT_ENOUGH_MEMORY
    case EAI_SYSTEM: return posix::translateErrno(errno);
    default: return 11001;              // WSAHOST_NOT_FOUND
    }
}

}  // namespace

bool startSockets(uint32_t* error) {
    if (error != nullptr) *error = 0;
    return true;
}

Socket openStreamSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) fd = moveAboveStandardStreams(fd);
    if (fd < 0) {
        posix::setLastErrorFromErrno(errno);
        return kInvalidSocket;
    }
    applyOptions(fd);
    return static_cast<Socket>(fd);
}

bool connectSocket(Socket socket, const char* ipText, uint16_t port) {
    if (!isSocketDescriptor(socket)) {
        posix::setLastError(posix::kWsaeBadf);
        return false;
    }
    int fd = static_cast<int>(socket);
    // Read like inet_addr; the "any" and "none" values name no server (Linux
    // would take 0.0.0.0 as this host).
    in_addr_t address = ipText ? inet_addr(ipText) : INADDR_NONE;
    if (address == INADDR_NONE || address == htonl(INADDR_ANY)) {
        posix::setLastError(posix::kWsaeAddrNotAvail);
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;

    int error = connectWithTimeout(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (error == 0) return true;
    if (error != EBADF && error != ENOTSOCK && error != EISCONN) renewSocket(fd);
    posix::setLastErrorFromErrno(error);
    return false;
}

bool connectSocketToName(Socket socket, const char* name, uint16_t port, bool* resolved) {
    *resolved = false;
    if (!isSocketDescriptor(socket)) {
        posix::setLastError(posix::kWsaeBadf);
        return false;
    }
    int fd = static_cast<int>(socket);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int status = getaddrinfo(name, std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        posix::setLastError(translateResolverError(status));
        return false;
    }
    *resolved = true;
    int error = EADDRNOTAVAIL;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        error = renewSocket(fd, address->ai_family);
        if (error == 0) error = connectWithTimeout(fd, address->ai_addr, address->ai_addrlen);
        if (error == 0) break;
    }
    freeaddrinfo(found);
    if (error == 0) return true;
    renewSocket(fd);
    posix::setLastErrorFromErrno(error);
    return false;
}

int sendBytes(Socket socket, const void* data, int length) {
    if (!isSocketDescriptor(socket) || length < 0) {
        posix::setLastError(isSocketDescriptor(socket) ? posix::kErrorInvalidParameter : posix::kWsaeBadf);
        return -1;
    }
    for (;;) {
        ssize_t sent = ::send(static_cast<int>(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        posix::setLastErrorFromErrno(errno);
        return -1;
    }
}

int receiveBytes(Socket socket, void* data, int length) {
    if (!isSocketDescriptor(socket) || length < 0) {
        posix::setLastError(isSocketDescriptor(socket) ? posix::kErrorInvalidParameter : posix::kWsaeBadf);
        return -1;
    }
    for (;;) {
        ssize_t received = ::recv(static_cast<int>(socket), data, static_cast<size_t>(length), 0);
        if (received >= 0) return static_cast<int>(received);
        if (errno == EINTR) continue;
        // SO_RCVTIMEO expiry shows as EAGAIN; Windows calls it a time-out.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            posix::setLastError(posix::kWsaeTimedOut);
        } else {
            posix::setLastErrorFromErrno(errno);
        }
        return -1;
    }
}

int receiveBytesWithin(Socket socket, void* data, int length, uint32_t milliseconds) {
    if (!isSocketDescriptor(socket) || length < 0) return receiveBytes(socket, data, length);
    long long deadline = monotonicMs() + milliseconds;
    for (;;) {
        long long left = deadline - monotonicMs();
        pollfd waiting{static_cast<int>(socket), POLLIN, 0};
        int ready = poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            posix::setLastErrorFromErrno(errno);
            return -1;
        }
        if (ready == 0) {
            posix::setLastError(posix::kWsaeTimedOut);
            return -1;
        }
        return receiveBytes(socket, data, length);
    }
}

void closeSocket(Socket socket) {
    if (isSocketDescriptor(socket)) close(static_cast<int>(socket));
}

void interruptSocket(Socket socket) {
    // close() would not wake a recv blocked in another thread; shutdown does.
    if (isSocketDescriptor(socket)) shutdown(static_cast<int>(socket), SHUT_RDWR);
}

}  // namespace platform
