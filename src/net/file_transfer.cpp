#include "net/file_transfer.h"

#include <cstdio>
#include <cstring>

#include "files/md5.h"
#include "files/path_utils.h"
#include "log/update_log.h"
#include "net/chunk_intake.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/server_link.h"
#include "net/transfer_target.h"
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

// Receives every chunk of the file from offset on into target, at most
// maxBytes in all. Go: the last chunk is written.
Step receiveFile(TransferTarget* target, uint16_t serial, uint32_t offset, uint32_t maxBytes) {
    int repliesWithoutProgress = 0;
    for (;;) {
        uint8_t frame[kFileRequestSize];
        buildFileRequest(frame, g_RunState.packageFileId, serial, offset);
        int attempts = 0;
        Step step = fetchChunk(frame, attempts);
        if (step != Step::Go) return step;
        if (g_RunState.runFailed || attempts >= kChunkAttempts) return Step::Fail;

        switch (takeChunk(g_RunState.receiveBuffer, target, offset, maxBytes, &repliesWithoutProgress)) {
        case ChunkIntake::More:
            offset += replyBuffsize() - 1u;
            break;
        case ChunkIntake::Last:
            return Step::Go;
        case ChunkIntake::Stopped:
            return Step::Stop;
        case ChunkIntake::Refused:
        case ChunkIntake::Failed:
            return Step::Fail;
        }
    }
}

// A file whose bytes are not the ones the list names would be installed as
// if it were: it fails like a broken transfer, and its staged copy goes, so
// that no later run takes it from the staging tree either.
bool digestAsListed(TransferTarget* target, const char* targetPath, const char* localName,
                    const char* expectedMd5) {
    uint8_t digest[16];
    char text[33];
    Md5Final(digest, &target->digest);
    Md5ToHex(digest, text);
    if (std::strcmp(text, expectedMd5) == 0) return true;
    g_UpdateLog.write("%s校验失败,应为%s,实为%s", localName, expectedMd5, text);
    platform::deleteFile(targetPath);
    return false;
}

}  // namespace

void downloadFile(const char* remoteName, const char* localName, const char* subDir,
                  int32_t serial, uint32_t maxBytes, const char* expectedMd5) {
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

    TransferTarget target;
    target.file = platform::openFile(targetPath, "wb+");
    Md5Init(&target.digest);
    g_UpdateLog.write("下载upd文件：%s,序列号%d,文件名:%s", directoryPath, serial, remoteName);
    if (target.file == nullptr) {
        g_RunState.runFailed = 1;
        notifyError(AU_ERR_TRANSFER);
        return;
    }

    Step step = Step::Go;
    uint32_t resumeOffset = 0;
    switch (fetchFileFast(&target, static_cast<uint16_t>(serial), maxBytes, &resumeOffset)) {
    case FastOutcome::Base:
        step = receiveFile(&target, static_cast<uint16_t>(serial), resumeOffset, maxBytes);
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
    bool closed = std::fclose(target.file) == 0;
    if (step == Step::Stop) {
        g_RunState.runFailed = 1;
        return;
    }
    // The last buffered bytes reach the disk only at close.
    if (step == Step::Fail || !closed) g_RunState.runFailed = 1;
    if (!g_RunState.runFailed && expectedMd5 != nullptr &&
        !digestAsListed(&target, targetPath, localName, expectedMd5)) {
        g_RunState.runFailed = 1;
    }
    if (g_RunState.runFailed) {
        notifyError(AU_ERR_TRANSFER);
    } else {
        notifyHost(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0);
    }
}
