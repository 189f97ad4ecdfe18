#include "net/frames.h"

#include <atomic>
#include <cstring>

#include "log/update_log.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

void putLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void putLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t getLe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

void putRequestHeader(uint8_t* frame, std::size_t size, uint32_t code) {
    putLe16(frame, static_cast<uint16_t>(size - 2));
    putLe32(frame + 2, code);
    putLe16(frame + 6, 1);
    putLe32(frame + 8, 0);
}

constexpr std::size_t kPackageNameField = 99;

std::atomic<const LinkHooks*> g_linkHooks{nullptr};

}  // namespace

void setLinkForTests(const LinkHooks* hooks) {
    g_linkHooks.store(hooks);
}

void buildPackageRequest(uint8_t frame[kPackageRequestSize], const char* serverPackageName) {
    std::memset(frame, 0, kPackageRequestSize);
    putRequestHeader(frame, kPackageRequestSize, kPackageRequestCode);
    // The server reads a fixed 99-byte field: a longer name goes out cut and
    // without its terminating zero.
    std::size_t length = strnlen(serverPackageName, kPackageNameField);
    std::memcpy(frame + 12, serverPackageName, length);
}

void buildFileRequest(uint8_t frame[kFileRequestSize], uint16_t packageFileId, uint16_t serial,
                      uint32_t offset) {
    std::memset(frame, 0, kFileRequestSize);
    putRequestHeader(frame, kFileRequestSize, kFileRequestCode);
    putLe16(frame + 12, packageFileId);
    putLe16(frame + 14, serial);
    putLe32(frame + 16, offset);
}

uint16_t replyBuffsize() {
    return getLe16(g_RunState.receiveBuffer);
}

uint16_t replyPackageFileId() {
    return getLe16(g_RunState.receiveBuffer + 112);
}

bool linkOpen() {
    return g_Socket != 0 && g_Socket != platform::kInvalidSocket;
}

int sendOnLink(const uint8_t* data, int length) {
    // A socket zeroed by a failed read, or one that could not be created,
    // must never reach send: on POSIX descriptor 0 is standard input.
    if (!linkOpen()) return -1;
    settlePause();
    if (const LinkHooks* hooks = g_linkHooks.load()) return hooks->send(data, length);
    return platform::sendBytes(g_Socket, data, length);
}

int receiveOnLink(uint8_t* data, int length, uint32_t waitMs) {
    if (const LinkHooks* hooks = g_linkHooks.load()) return hooks->receive(data, length, waitMs);
    return platform::receiveBytesWithin(g_Socket, data, length, waitMs);
}

void dropLink(uint32_t errorCode) {
    g_UpdateLog.write("socket接收失败g_Socket为0%d", static_cast<int>(errorCode));
    if (linkOpen() && g_linkHooks.load() == nullptr) platform::closeSocket(g_Socket);
    g_Socket = 0;
    g_RunState.inNotify = 0;
    // The pause was owed to the connection that is gone.
    g_RunState.pauseOwed = 0;
}
