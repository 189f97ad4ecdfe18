#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/update_log.h"
#include "net/frames.h"
#include "net/receive_limit.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr std::size_t kLoggedTextLimit = 50;  // ten "0x%.2X " entries

}  // namespace

// The end-to-end tests of a stalling server shorten the deadline so that
// they need not wait a minute; it can never be made longer.
uint32_t frameDeadline() {
    static const uint32_t deadline = [] {
        const char* text = std::getenv("AUTOUPDATE_FRAME_DEADLINE_MS");
        long value = text ? std::strtol(text, nullptr, 10) : 0;
        return value > 0 && value < static_cast<long>(kFrameDeadlineMs) ? static_cast<uint32_t>(value)
                                                                         : kFrameDeadlineMs;
    }();
    return deadline;
}

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

    // A server that trickles its bytes must not hold the run: the whole
    // frame, not each read, has a deadline.
    const uint32_t allowed = frameDeadline();
    const uint32_t started = platform::tickCount();
    int received = 0;
    for (;;) {
        if (g_Socket == 0) return false;
        if (g_Socket == platform::kInvalidSocket) {
            dropLink(0);
            return false;
        }
        uint32_t elapsed = platform::tickCount() - started;
        if (elapsed >= allowed) {
            dropLink(kFrameTimedOut);
            return false;
        }
        int count = receiveOnLink(buffer + received, kReceiveBufferSize - received, allowed - elapsed);
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
        owePause();
        logReplyFrame(buffer);
        // A stop while the cap holds the frame back ends the read like a
        // stop during it.
        return paceReceived(buffsize + 2u);
    }
}
