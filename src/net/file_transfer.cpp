#include "net/file_transfer.h"

#include <cstdio>
#include <cstring>

#include "files/path_utils.h"
#include "log/update_log.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/server_link.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace {

constexpr int kChunkAttempts = 40;
constexpr std::size_t kMaxPath = 255;

enum class Step { Go, Stop, Fail };

// Sends the whole request; after a failed send the request goes again, from
// its first byte, to a newly connected server.
Step sendChunkRequest(const uint8_t* frame, int& attempts, const char* failureLine) {
    int sent = 0;
    while (sent < static_cast<int>(kFileRequestSize) && attempts < kChunkAttempts) {
        ++attempts;
        if (g_RunState.stopRequested) return Step::Stop;
        int count = sendOnLink(frame + sent, static_cast<int>(kFileRequestSize) - sent);
        if (count >= 0) {
            sent += count;
            continue;
        }
        g_UpdateLog.write("%s", failureLine);
        sent = 0;
        if (!reconnectServer()) {
            // The read that follows fails or finds runFailed: the transfer ends there.
            g_RunState.runFailed = 1;
            break;
        }
    }
    return Step::Go;
}

// A chunk reply needs its flag byte: one with buffsize 0 is dropped like a
// failed read.
bool receiveChunk() {
    if (!receiveFrame()) return false;
    if (replyBuffsize() == 0) {
        dropLink(0);
        return false;
    }
    return true;
}

// Sends the request and reads its reply, reconnecting and asking again for
// the same chunk after a failed read.
Step fetchChunk(const uint8_t* frame, int& attempts) {
    Step step = sendChunkRequest(frame, attempts, "send SOCKET_ERROR了");
    if (step != Step::Go) return step;
    while (!receiveChunk()) {
        if (g_RunState.runFailed || attempts >= kChunkAttempts) return Step::Fail;
        g_UpdateLog.write("rcv SOCKET_ERROR了");
        ++attempts;
        if (!reconnectServer()) return Step::Fail;
        step = sendChunkRequest(frame, attempts, "send SOCKET_ERROR2了");
        if (step != Step::Go) return step;
    }
    return Step::Go;
}

// Receives every chunk of the file from offset on into target. Go: the last
// chunk is written.
Step receiveFile(std::FILE* target, uint16_t serial, uint32_t offset) {
    for (;;) {
        uint8_t frame[kFileRequestSize];
        buildFileRequest(frame, g_RunState.packageFileId, serial, offset);
        int attempts = 0;
        Step step = fetchChunk(frame, attempts);
        if (step != Step::Go) return step;
        if (g_RunState.runFailed || attempts >= kChunkAttempts) return Step::Fail;

        const uint8_t* reply = g_RunState.receiveBuffer;
        uint8_t flag = reply[2];
        if (flag == kChunkRefused) return Step::Fail;

        uint16_t buffsize = replyBuffsize();
        uint32_t payload = buffsize - 1u;
        uint32_t nextOffset = offset + payload;
        g_RunState.sendnow = static_cast<int32_t>(static_cast<uint32_t>(g_RunState.sendnow) + payload);
        reportSpeed();
        int32_t wei = g_RunState.wei;
        int32_t sendnow = g_RunState.sendnow;
        g_UpdateLog.write("sedmax wei : %d sendnow :%d", wei, sendnow);
        if (g_RunState.stopRequested) return Step::Stop;

        bool progressSent = sendnow != 0 && wei != 0;
        int32_t progress = 0;
        if (progressSent) {
            progress = static_cast<int32_t>(static_cast<int64_t>(sendnow) * 5000 / wei);
            g_RunState.inNotify = 1;
            notifyHost(AU_MSG_PROGRESS, 5000, progress);
            notifyHost(AU_MSG_BYTES, static_cast<uintptr_t>(static_cast<uint32_t>(wei)), sendnow);
            g_RunState.inNotify = 0;
            if (g_RunState.stopRequested) return Step::Stop;
        }

        // A chunk that does not reach the disk would leave a file that looks
        // complete but is not.
        if (payload > 0 && std::fwrite(reply + 3, 1, payload, target) != payload) return Step::Fail;

        if (flag == kChunkLast) {
            g_UpdateLog.write("一个文件接收完毕");
            return Step::Go;
        }
        g_UpdateLog.write("sedmax wei :%d, %d sendnow :%d,%d消息发送完毕,filehead.buffsize:%d",
                          progressSent ? 5000 : wei, wei, progressSent ? progress : sendnow, sendnow,
                          buffsize);
        offset = nextOffset;
    }
}

}  // namespace

void downloadFile(const char* remoteName, const char* localName, const char* subDir,
                  int32_t serial) {
    char targetPath[kMaxPath + 2];
    int length = std::snprintf(targetPath, sizeof targetPath, "%s\\%s\\%s", g_RunState.gameDir,
                               subDir, localName);
    // Longer paths do not fit the 256-byte buffers of the path layer; such a
    // file is refused rather than cut to another name.
    if (length < 0 || static_cast<std::size_t>(length) > kMaxPath) {
        g_RunState.runFailed = 1;
        notifyError(AU_ERR_TRANSFER);
        return;
    }

    // The directory path is never longer than the target path, which has
    // every separator and the file name besides.
    char directoryPath[256];
    std::snprintf(directoryPath, sizeof directoryPath, "%s", g_RunState.gameDir);
    CreateDirectoryChain(directoryPath, subDir);
    CreateDirectoryChain(directoryPath, localName);

    std::FILE* target = platform::openFile(targetPath, "wb+");
    g_UpdateLog.write("下载upd文件：%s,序列号%d,文件名:%s", directoryPath, serial, remoteName);
    if (target == nullptr) {
        g_RunState.runFailed = 1;
        notifyError(AU_ERR_TRANSFER);
        return;
    }

    Step step = Step::Go;
    uint32_t resumeOffset = 0;
    switch (fetchFileFast(target, static_cast<uint16_t>(serial), &resumeOffset)) {
    case FastOutcome::Base:
        step = receiveFile(target, static_cast<uint16_t>(serial), resumeOffset);
        break;
    case FastOutcome::Done:
        break;
    case FastOutcome::Stopped:
        step = Step::Stop;
        break;
    case FastOutcome::Failed:
        step = Step::Fail;
        break;
    }
    bool closed = std::fclose(target) == 0;
    if (step == Step::Stop) {
        g_RunState.runFailed = 1;
        return;
    }
    // The last buffered bytes reach the disk only at close.
    if (step == Step::Fail || !closed) g_RunState.runFailed = 1;
    if (g_RunState.runFailed) {
        notifyError(AU_ERR_TRANSFER);
    } else {
        notifyHost(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0);
    }
}
