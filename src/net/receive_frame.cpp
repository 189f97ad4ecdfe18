#include <cstdio>
#include <cstring>

#include "log/update_log.h"
#include "net/frames.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr std::size_t kLoggedTextLimit = 50;  // ten "0x%.2X " entries

}  // namespace

void logReplyFrame(const uint8_t* frame) {
    const uint16_t buffsize = static_cast<uint16_t>(frame[0] | (frame[1] << 8));
    char text[kLoggedTextLimit + 8] = {};
    std::size_t length = 0;
    const uint8_t* body = frame + 2;
    for (std::size_t i = 0; i < buffsize && length < kLoggedTextLimit; ++i) {
        length += std::snprintf(text + length, sizeof text - length, "0x%.2X ",
                                static_cast<unsigned>(body[i]));
    }
    g_UpdateLog.write("接收到数据大小为%d,头几个数据为%s", buffsize, text);
}

bool receiveFrame() {
    uint8_t* buffer = g_RunState.receiveBuffer;
    std::memset(buffer, 0, kReceiveBufferSize);
    if (g_RunState.stopRequested) return false;

    int received = 0;
    for (;;) {
        if (g_Socket == 0) return false;
        if (g_Socket == platform::kInvalidSocket) {
            dropLink(0);
            return false;
        }
        int count = platform::receiveBytes(g_Socket, buffer + received, kReceiveBufferSize - received);
        if (g_RunState.stopRequested) return false;
        if (count < 0) {
            dropLink(platform::lastError());
            return false;
        }
        // The server closed the connection: nothing more will come on it, so
        // the callers reconnect as after a failed read.
        if (count == 0) {
            dropLink(0);
            return false;
        }
        received += count;
        if (received < 2) continue;
        uint16_t buffsize = replyBuffsize();
        if (buffsize > kMaxReplyBody) {
            dropLink(0);
            return false;
        }
        if (received < buffsize + 2) continue;
        logReplyFrame(buffer);
        platform::sleepMs(5);
        return true;
    }
}
