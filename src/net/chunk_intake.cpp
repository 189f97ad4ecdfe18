#include "net/chunk_intake.h"

#include "log/update_log.h"
#include "net/file_transfer.h"
#include "net/frames.h"
#include "run/notify.h"
#include "run/run_state.h"

ChunkIntake takeChunk(const uint8_t* frame, std::FILE* target) {
    const uint8_t flag = frame[2];
    if (flag == kChunkRefused) return ChunkIntake::Refused;

    const uint16_t buffsize = static_cast<uint16_t>(frame[0] | (frame[1] << 8));
    const uint32_t payload = buffsize - 1u;
    g_RunState.sendnow = static_cast<int32_t>(static_cast<uint32_t>(g_RunState.sendnow) + payload);
    reportSpeed();
    const int32_t wei = g_RunState.wei;
    const int32_t sendnow = g_RunState.sendnow;
    g_UpdateLog.write("sedmax wei : %d sendnow :%d", wei, sendnow);
    if (g_RunState.stopRequested) return ChunkIntake::Stopped;

    const bool progressSent = sendnow != 0 && wei != 0;
    int32_t progress = 0;
    if (progressSent) {
        progress = static_cast<int32_t>(static_cast<int64_t>(sendnow) * 5000 / wei);
        g_RunState.inNotify = 1;
        notifyHost(AU_MSG_PROGRESS, 5000, progress);
        notifyHost(AU_MSG_BYTES, static_cast<uintptr_t>(static_cast<uint32_t>(wei)), sendnow);
        g_RunState.inNotify = 0;
        if (g_RunState.stopRequested) return ChunkIntake::Stopped;
    }

    // A chunk that does not reach the disk would leave a file that looks
    // complete but is not.
    if (payload > 0 && std::fwrite(frame + 3, 1, payload, target) != payload) return ChunkIntake::Failed;

    if (flag == kChunkLast) {
        g_UpdateLog.write("一个文件接收完毕");
        return ChunkIntake::Last;
    }
    g_UpdateLog.write("sedmax wei :%d, %d sendnow :%d,%d消息发送完毕,filehead.buffsize:%d",
                      progressSent ? 5000 : wei, wei, progressSent ? progress : sendnow, sendnow, buffsize);
    return ChunkIntake::More;
}
