#include "net/deflated_reply.h"

#include "log/update_log.h"
#include "run/run_state.h"

namespace {

InflateFn g_uncompress = nullptr;
constexpr int kZlibOk = 0;

uint32_t le32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

void setReplyInflater(InflateFn uncompress) {
    g_uncompress = uncompress;
}

bool replyInflaterSet() {
    return g_uncompress != nullptr;
}

bool inflateReply(const uint8_t* frame, uint32_t wanted, uint8_t* out) {
    const uint32_t payload = static_cast<uint32_t>(frame[0] | (frame[1] << 8)) - 1u;
    const uint32_t raw = payload >= 4 ? le32(frame + 3) : 0xFFFFFFFFu;
    unsigned long inflated = raw;
    // A raw count of 0 or one the reply could not stand for is no deflated reply;
    // buffsize counts the flag, so the plain frame holds at most 65534 bytes.
    if (g_uncompress == nullptr || raw == 0 || raw > wanted || raw > 65534u ||
        g_uncompress(out + 3, &inflated, frame + 7, payload - 4) != kZlibOk || inflated != raw) {
        g_UpdateLog.write("压缩数据块无法解压,停止接收");
        return false;
    }
    out[0] = static_cast<uint8_t>((raw + 1) & 0xFF);
    out[1] = static_cast<uint8_t>((raw + 1) >> 8);
    out[2] = static_cast<uint8_t>(frame[2] & ~0x10);
    g_RunState.bytesSaved += static_cast<int64_t>(raw) - static_cast<int64_t>(payload);
    return true;
}
