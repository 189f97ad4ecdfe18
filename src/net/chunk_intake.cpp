#include "net/chunk_intake.h"

#include "log/update_log.h"
#include "net/file_transfer.h"
#include "net/frames.h"
#include "net/write_behind.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace {

// "More follows" without a byte, again and again, is a server going round in
// circles; a few such replies in a row are more than any real one sends.
constexpr int kRepliesWithoutProgress = 40;

}  // namespace

ChunkIntake takeChunk(const uint8_t* frame, TransferTarget* target, uint32_t offset, uint32_t maxBytes,
                      int* repliesWithoutProgress) {
    const uint8_t flag = frame[2];
    if (flag == kChunkRefused) return ChunkIntake::Refused;

    const uint16_t buffsize = static_cast<uint16_t>(frame[0] | (frame[1] << 8));
    const uint32_t payload = buffsize - 1u;
    if (static_cast<uint64_t>(offset) + payload > maxBytes) {
        g_UpdateLog.write("收到的数据超过文件大小%u,停止接收", maxBytes);
        return ChunkIntake::Failed;
    }
    *repliesWithoutProgress = payload == 0 && flag != kChunkLast ? *repliesWithoutProgress + 1 : 0;
    if (*repliesWithoutProgress >= kRepliesWithoutProgress) {
        g_UpdateLog.write("连续%d个空数据块,停止接收", *repliesWithoutProgress);
        return ChunkIntake::Failed;
    }
    // A run counts up to 4 GiB: the counters are added and compared as
    // unsigned 32-bit values.
    const uint32_t sendnow = static_cast<uint32_t>(g_RunState.sendnow) + payload;
    g_RunState.sendnow = static_cast<int32_t>(sendnow);
    reportSpeed();
    const uint32_t wei = static_cast<uint32_t>(g_RunState.wei);
    g_UpdateLog.write("sedmax wei : %u sendnow :%u", wei, sendnow);
    if (g_RunState.stopRequested) return ChunkIntake::Stopped;

    const bool progressSent = sendnow != 0 && wei != 0;
    uint32_t progress = 0;
    if (progressSent) {
        // Never past the whole, even when more arrives than the run expected.
        const uint64_t share = static_cast<uint64_t>(sendnow) * 5000 / wei;
        progress = share < 5000 ? static_cast<uint32_t>(share) : 5000;
        g_RunState.inNotify = 1;
        notifyHost(AU_MSG_PROGRESS, 5000, static_cast<intptr_t>(progress));
        notifyHost(AU_MSG_BYTES, static_cast<uintptr_t>(wei), static_cast<intptr_t>(sendnow));
        g_RunState.inNotify = 0;
        if (g_RunState.stopRequested) return ChunkIntake::Stopped;
    }

    // A chunk that does not reach the disk would leave a file that looks
    // complete but is not.
    if (payload > 0 && !writeBehind(frame + 3, payload, &target->outOfSpace)) {
        return ChunkIntake::Failed;
    }
    DigestWritten(target, frame + 3, payload);

    if (flag == kChunkLast) {
        g_UpdateLog.write("一个文件接收完毕");
        return ChunkIntake::Last;
    }
    g_UpdateLog.write("sedmax wei :%u, %u sendnow :%u,%u消息发送完毕,filehead.buffsize:%d",
                      progressSent ? 5000u : wei, wei, progressSent ? progress : sendnow, sendnow, buffsize);
    return ChunkIntake::More;
}
