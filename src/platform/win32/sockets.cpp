#include <windows.h>
#include <winsock.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/global_lock.h"
#include "platform/win32/name_resolver.h"

namespace platform {

namespace {

constexpr long kConnectTimeoutSeconds = 10;
constexpr DWORD kReadTimeoutMs = 60000;

// A socket whose connect failed is not reliably usable again (Wine refuses
// it with WSAECONNABORTED, and an attempt abandoned after the time-out stays
// pending), while the caller keeps its Socket value for the next attempt. So
// a failed attempt puts a fresh socket behind the caller's value; the first
// socket stays open until closeSocket so that its handle value cannot be
// handed out again meanwhile.
// An interrupted socket is closed at once (Wine wakes a blocked recv only
// then); its entry keeps the owner's later closeSocket from closing a handle
// value that may have been handed out again.
struct Renewal {
    SOCKET original;
    SOCKET current;
    bool originalClosed;
};
std::vector<Renewal> g_renewals;

SOCKET newSocket(int family = AF_INET) {
    SOCKET s = socket(family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return s;
    // An expired read fails with WSAETIMEDOUT, which the caller treats like
    // any failed read.
    DWORD timeout = kReadTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return s;
}

SOCKET currentSocket(Socket socket) {
    win32::GlobalLock lock;
    for (const Renewal& renewal : g_renewals) {
        if (renewal.original == static_cast<SOCKET>(socket)) return renewal.current;
    }
    return static_cast<SOCKET>(socket);
}

// The socket behind the caller's value becomes fresh.
void replaceSocket(Socket socket, SOCKET fresh) {
    win32::GlobalLock lock;
    for (Renewal& renewal : g_renewals) {
        if (renewal.original == static_cast<SOCKET>(socket)) {
            closesocket(renewal.current);
            renewal.current = fresh;
            return;
        }
    }
    g_renewals.push_back(Renewal{static_cast<SOCKET>(socket), fresh, false});
}

void renewSocket(Socket socket) {
    SOCKET fresh = newSocket();
    if (fresh != INVALID_SOCKET) replaceSocket(socket, fresh);
}

// The Winsock error of one attempt, 0 when connected.
int connectWithTimeout(SOCKET s, const sockaddr* target, int length) {
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
    int error = 0;
    if (connect(s, target, length) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval timeout{kConnectTimeoutSeconds, 0};
            int ready = select(0, nullptr, &writable, &failed, &timeout);
            if (ready == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (FD_ISSET(s, &failed)) {
                int soError = 0;
                int soLength = sizeof soError;
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength);
                error = soError != 0 ? soError : WSAECONNREFUSED;
            } else {
                error = 0;
            }
        }
    }
    nonBlocking = 0;
    if (error == 0 && ioctlsocket(s, FIONBIO, &nonBlocking) != 0) error = WSAGetLastError();
    return error;
}

bool isHandle(Socket socket) {
    return socket != 0 && socket != kInvalidSocket;
}

}  // namespace

bool startSockets(uint32_t* error) {
    WSADATA data;
    int result = WSAStartup(MAKEWORD(1, 1), &data);
    if (error != nullptr) *error = static_cast<uint32_t>(result);
    return result == 0;
}

Socket openStreamSocket() {
    SOCKET s = newSocket();
    if (s == INVALID_SOCKET) return kInvalidSocket;
    // The value of an interrupted socket may come back: its entry is stale.
    win32::GlobalLock lock;
    for (auto it = g_renewals.begin(); it != g_renewals.end(); ++it) {
        if (it->original == s && it->originalClosed) {
            g_renewals.erase(it);
            break;
        }
    }
    return static_cast<Socket>(s);
}

bool connectSocket(Socket socket, const char* ipText, uint16_t port) {
    if (!isHandle(socket)) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    unsigned long address = ipText ? inet_addr(ipText) : INADDR_NONE;
    if (address == INADDR_NONE || address == INADDR_ANY) {
        WSASetLastError(WSAEADDRNOTAVAIL);
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;

    int error = connectWithTimeout(currentSocket(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (error == 0) return true;
    renewSocket(socket);
    WSASetLastError(error);
    return false;
}

bool connectSocketToName(Socket socket, const char* name, uint16_t port, bool* resolved) {
    *resolved = false;
    if (!isHandle(socket)) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    std::vector<win32::ResolvedAddress> addresses;
    int error = win32::resolveName(name, port, &addresses);
    if (error != 0) {
        WSASetLastError(error);
        return false;
    }
    *resolved = true;
    for (const win32::ResolvedAddress& address : addresses) {
        SOCKET fresh = newSocket(address.family);
        if (fresh == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        replaceSocket(socket, fresh);
        error = connectWithTimeout(fresh, reinterpret_cast<const sockaddr*>(address.bytes), address.length);
        if (error == 0) return true;
    }
    renewSocket(socket);
    WSASetLastError(error);
    return false;
}

int sendBytes(Socket socket, const void* data, int length) {
    if (!isHandle(socket)) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    int sent = send(currentSocket(socket), static_cast<const char*>(data), length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int receiveBytes(Socket socket, void* data, int length) {
    if (!isHandle(socket)) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    int received = recv(currentSocket(socket), static_cast<char*>(data), length, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

int receiveBytesWithin(Socket socket, void* data, int length, uint32_t milliseconds) {
    if (!isHandle(socket)) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    SOCKET s = currentSocket(socket);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) return -1;
    if (ready == 0) {
        WSASetLastError(WSAETIMEDOUT);
        return -1;
    }
    int received = recv(s, static_cast<char*>(data), length, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

void closeSocket(Socket socket) {
    if (!isHandle(socket)) return;
    {
        win32::GlobalLock lock;
        for (auto it = g_renewals.begin(); it != g_renewals.end(); ++it) {
            if (it->original == static_cast<SOCKET>(socket)) {
                const bool originalClosed = it->originalClosed;
                if (it->current != INVALID_SOCKET) closesocket(it->current);
                g_renewals.erase(it);
                if (originalClosed) return;
                break;
            }
        }
    }
    closesocket(static_cast<SOCKET>(socket));
}

void interruptSocket(Socket socket) {
    if (!isHandle(socket)) return;
    win32::GlobalLock lock;
    for (Renewal& renewal : g_renewals) {
        if (renewal.original == static_cast<SOCKET>(socket)) {
            if (renewal.current != INVALID_SOCKET) closesocket(renewal.current);
            renewal.current = INVALID_SOCKET;
            return;
        }
    }
    closesocket(static_cast<SOCKET>(socket));
    g_renewals.push_back(Renewal{static_cast<SOCKET>(socket), INVALID_SOCKET, true});
}

}  // namespace platform
