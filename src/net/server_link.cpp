#include "net/server_link.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/update_log.h"
#include "net/address_text.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace {

constexpr int kFirstConnectionDraws = 800;
constexpr int kReconnectDraws = 499;
constexpr std::size_t kShortestAddress = 5;

// "address:port" of the parked server; empty when the link is not parked.
char g_parkedAddress[sizeof g_RunState.linkAddress];

int rowsInTable() {
    int count = g_RunState.serverCount;
    return count > kServerTableRows ? kServerTableRows : count;
}

using RowAddress = char[sizeof(ServerEntry::name)];

// The row's name, or else its dotted ip. The worker keeps ip within 19
// characters, but a row is never trusted to carry its terminating zero.
void copyRowAddress(const ServerEntry& row, RowAddress& out) {
    const char* text = row.name[0] ? row.name : row.ip;
    std::size_t length = strnlen(text, row.name[0] ? sizeof row.name - 1 : sizeof row.ip - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

int rowPort(const ServerEntry& row) {
    return row.port != 0 ? row.port : kDefaultServerPort;
}

// A dotted address goes straight to connect, as it always did; a name goes
// through the resolver, and one that gives no address is a failed attempt.
bool connectAddress(const char* address, int port) {
    if (!isServerName(address)) return platform::connectSocket(g_Socket, address, static_cast<uint16_t>(port));
    bool resolved = false;
    if (platform::connectSocketToName(g_Socket, address, static_cast<uint16_t>(port), &resolved)) return true;
    if (!resolved) {
        int error = static_cast<int>(platform::lastError());
        g_UpdateLog.write("错误代码:[%d] 无法解析服务器名%s", error, address);
    }
    return false;
}

bool connectTo(const char* address, int port) {
    const bool connected = connectAddress(address, port);
    if (connected) std::snprintf(g_RunState.linkAddress, sizeof g_RunState.linkAddress, "%s:%d", address, port);
    else g_RunState.linkAddress[0] = '\0';
    return connected;
}

// Seeded once per run from a source that differs per client: a seed from the
// clock in seconds gave every client started in the same second the same
// draws, and so the same servers.
void seedDraws() {
    std::srand(platform::randomSeed());
}

// Draws rows at random until one connects; a draw on a tried row costs
// nothing. Each row gets at most one attempt per run.
template <typename Attempt>
bool drawRows(int draws, Attempt attempt) {
    int rows = rowsInTable();
    for (int draw = 0; draw < draws && rows >= 1; ++draw) {
        ServerEntry& row = g_RunState.ServerTable[std::rand() % rows];
        if (row.tried) continue;
        RowAddress address;
        copyRowAddress(row, address);
        if (attempt(row, address)) return true;
    }
    return false;
}

}  // namespace

bool connectFirstServer() {
    const char* preferred = g_RunState.preferredServerIp;
    g_parkedAddress[0] = '\0';
    seedDraws();
    int port = kDefaultServerPort;
    for (int i = 0; i < rowsInTable(); ++i) {
        ServerEntry& row = g_RunState.ServerTable[i];
        RowAddress address;
        copyRowAddress(row, address);
        if (std::strcmp(address, preferred) == 0) {
            row.tried = 1;
            if (row.port != 0) port = row.port;
            break;
        }
    }

    g_Socket = platform::openStreamSocket();
    if (g_Socket == platform::kInvalidSocket) {
        notifyError(static_cast<intptr_t>(platform::lastError()));
        g_UpdateLog.write("启动tcpip2失败");
        g_RunState.workerFinished = 1;
        return false;
    }

    notifyHost(AU_MSG_STATUS, AU_STATUS_CONNECTING, 0);
    // The shortest dotted address has five characters; a name such as ::1 may
    // have fewer.
    bool attempted = isServerName(preferred) ||
                     strnlen(preferred, sizeof g_RunState.preferredServerIp) >= kShortestAddress;
    bool connected = attempted && connectTo(preferred, port);
    g_UpdateLog.write("端口跟ftp:[%d] %s，%d,连接该服务器", port, preferred, port);
    if (connected) return true;

    g_UpdateLog.write("端口跟ftp:[%d] %s，连接失败", port, preferred);
    bool drawn = drawRows(kFirstConnectionDraws, [](ServerEntry& row, const char* address) {
        notifyHost(AU_MSG_STATUS, AU_STATUS_CONNECTING, 1);
        row.tried = 1;
        int rowPortValue = rowPort(row);
        g_UpdateLog.write("端口跟ftp:[%d] %s,连接该服务器", rowPortValue, address);
        return connectTo(address, rowPortValue);
    });
    if (drawn) return true;

    g_RunState.workerFinished = 1;
    notifyError(AU_ERR_NO_CONNECTION);
    g_RunState.runFailed = 1;
    return false;
}

bool untriedServerLeft() {
    for (int i = 0; i < rowsInTable(); ++i) {
        if (!g_RunState.ServerTable[i].tried) return true;
    }
    return false;
}

bool reconnectServer() {
    if (!connectNextServer()) return false;
    platform::sleepMs(kPauseAfterReconnectMs);
    return true;
}

bool connectNextServer() {
    if (g_RunState.serverCount <= 0) {
        g_RunState.runFailed = 1;
        return false;
    }
    if (g_RunState.stopRequested) return false;

    // The old connection is never used again; closing it lets the server
    // free it at once.
    if (g_Socket != 0 && g_Socket != platform::kInvalidSocket) platform::closeSocket(g_Socket);
    g_Socket = platform::openStreamSocket();
    if (g_Socket == platform::kInvalidSocket) {
        notifyError(static_cast<intptr_t>(platform::lastError()));
        g_UpdateLog.write("启动tcpip21失败");
        g_RunState.workerFinished = 1;
        return false;
    }

    bool drawn = drawRows(kReconnectDraws, [](ServerEntry& row, const char* address) {
        notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_CONNECTING, 1);
        row.tried = 1;
        int port = rowPort(row);
        g_UpdateLog.write("端口跟ftp:[%d] %s，port=%d,连接该服务器", port, address, port);
        return connectTo(address, port);
    });
    if (!drawn) {
        g_UpdateLog.write("错误代码:[%d] 没找到合适连接2", static_cast<int>(platform::lastError()));
        // A socket that never connected is no link: a read on it may wait
        // (Wine's recv does) where the caller expects to fail at once.
        platform::closeSocket(g_Socket);
        g_Socket = 0;
        notifyErrorGuarded(AU_ERR_NO_PACKAGE);
        return false;
    }
    return true;
}

void parkLink() {
    if (g_Socket == 0 || g_Socket == platform::kInvalidSocket || g_RunState.linkAddress[0] == '\0') return;
    std::memcpy(g_parkedAddress, g_RunState.linkAddress, sizeof g_parkedAddress);
    platform::closeSocket(g_Socket);
    g_Socket = 0;
    g_UpdateLog.write("从HTTP镜像下载期间断开与服务器%s的连接", g_parkedAddress);
}

bool linkParked() {
    return g_parkedAddress[0] != '\0';
}

bool unparkLink() {
    char address[sizeof g_parkedAddress];
    std::memcpy(address, g_parkedAddress, sizeof address);
    g_parkedAddress[0] = '\0';
    // The port follows the last colon: an IPv6 address has colons of its own.
    char* colon = std::strrchr(address, ':');
    if (colon == nullptr || g_RunState.stopRequested) return false;
    *colon = '\0';
    const int port = std::atoi(colon + 1);
    g_Socket = platform::openStreamSocket();
    if (g_Socket == platform::kInvalidSocket) {
        g_Socket = 0;
        return false;
    }
    g_UpdateLog.write("端口跟ftp:[%d] %s，port=%d,连接该服务器", port, address, port);
    if (connectTo(address, port)) return true;
    platform::closeSocket(g_Socket);
    g_Socket = 0;
    return false;
}
