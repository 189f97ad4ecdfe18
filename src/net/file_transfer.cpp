#include "net/file_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "files/md5.h"
#include "files/path_utils.h"
#include "log/update_log.h"
#include "net/chunk_intake.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/http_fetch.h"
#include "net/server_link.h"
#include "net/transfer_target.h"
#include "net/write_behind.h"
#include "platform/platform.h"
#include "run/disk_short.h"
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
                    const char* expectedMd5, const BuildManifestFile* signedAs) {
    uint8_t digest[16];
    char text[33];
    if (signedAs != nullptr) {
        // MD5 no longer resists a made collision; only the SHA-256 the
        // publisher signed vouches for the bytes, and it alone was taken.
        uint8_t sha[platform::kSha256Bytes];
        if (target->sha256->finish(sha) && std::memcmp(sha, signedAs->sha256, sizeof sha) == 0) return true;
        // The bytes fail either way. Where the MD5 tells, the log says so
        // first, as for an unsigned build: it is taken now, from the file.
        if (Md5File(targetPath, digest)) {
            Md5ToHex(digest, text);
            if (std::strcmp(text, expectedMd5) != 0) {
                g_UpdateLog.write("%s校验失败,应为%s,实为%s", localName, expectedMd5, text);
                platform::deleteFile(targetPath);
                return false;
            }
        }
        g_UpdateLog.write("%s的SHA-256与签名清单不符", signedAs->listPath.c_str());
        platform::deleteFile(targetPath);
        return false;
    }
    Md5Final(digest, &target->digest);
    Md5ToHex(digest, text);
    if (std::strcmp(text, expectedMd5) == 0) return true;
    g_UpdateLog.write("%s校验失败,应为%s,实为%s", localName, expectedMd5, text);
    platform::deleteFile(targetPath);
    return false;
}

bool stagedPath(char* out, std::size_t size, const char* subDir, const char* localName) {
    int length = std::snprintf(out, size, "%s\\%s\\%s", g_RunState.gameDir, subDir, localName);
    // Longer paths do not fit the 256-byte buffers of the path layer; such a
    // file is refused rather than cut to another name.
    return length >= 0 && static_cast<std::size_t>(length) <= kMaxPath;
}

// Opens the staged file to go on after its first resumeAt bytes, which the
// digest takes in; null when they are not all there any more.
std::FILE* openToResume(const char* targetPath, uint32_t resumeAt, TransferTarget* target) {
    std::FILE* file = platform::openFile(targetPath, "rb+");
    if (file == nullptr) return nullptr;
    uint8_t buffer[65536];
    uint32_t done = 0;
    while (done < resumeAt) {
        std::size_t want = resumeAt - done < sizeof buffer ? resumeAt - done : sizeof buffer;
        std::size_t got = std::fread(buffer, 1, want, file);
        if (got == 0) break;
        DigestWritten(target, buffer, got);
        done += static_cast<uint32_t>(got);
    }
    // A write may not follow a read without a positioning call.
    if (done < resumeAt || std::fseek(file, static_cast<long>(resumeAt), SEEK_SET) != 0) {
        std::fclose(file);
        Md5Init(&target->digest);
        return nullptr;
    }
    return file;
}

// One transfer of the file into targetPath from offset on.
Step transfer(TransferTarget* target, uint16_t serial, uint32_t offset, uint32_t maxBytes) {
    uint32_t resumeOffset = offset;
    switch (fetchFromMirrors(target, serial, maxBytes, nullptr, &resumeOffset)) {
    case MirrorOutcome::Done:
        return Step::Go;
    case MirrorOutcome::Stopped:
        return Step::Stop;
    case MirrorOutcome::Failed:
        return Step::Fail;
    case MirrorOutcome::Fallback:
        break;
    }
    switch (fetchFileFast(target, serial, maxBytes, &resumeOffset)) {
    case FastOutcome::Base:
        return receiveFile(target, serial, resumeOffset, maxBytes);
    case FastOutcome::Done:
        return Step::Go;
    case FastOutcome::Stopped:
        return Step::Stop;
    case FastOutcome::Failed:
        return Step::Fail;
    }
    return Step::Fail;
}

// Bytes of the installed file into the target, as if they had arrived; they
// count as progress at once. They are read straight into the writer's
// batches and digested there, before they are handed: the digest is over
// the very bytes written.
bool copyFromBasis(std::FILE* basis, const PatchStep& step, TransferTarget* target) {
    if (step.from > 0x7FFFFFFFu || std::fseek(basis, static_cast<long>(step.from), SEEK_SET) != 0) return false;
    for (uint32_t left = step.length; left > 0;) {
        std::size_t room = 0;
        uint8_t* bytes = behindRoom(&room);
        const std::size_t want = left < room ? left : room;
        if (std::fread(bytes, 1, want, basis) != want) return false;
        DigestWritten(target, bytes, want);
        if (!behindFilled(want, &target->outOfSpace)) return false;
        left -= static_cast<uint32_t>(want);
    }
    g_RunState.sendnow = static_cast<int32_t>(static_cast<uint32_t>(g_RunState.sendnow) + step.length);
    g_RunState.bytesSaved += step.length;
    return true;
}

// The file written in order from its patch plan: copies from the installed
// file, the rest in fast-mode ranges. Should the fast mode end on the way,
// the base protocol brings the rest of the file from the first byte not
// written.
Step transferPatched(TransferTarget* target, uint16_t serial, uint32_t maxBytes, const PatchSource& patch,
                     uint32_t* copied) {
    std::FILE* basis = platform::openFile(patch.basisPath, "rb");
    if (basis == nullptr) return Step::Fail;
    Step outcome = Step::Go;
    for (const PatchStep& step : *patch.steps) {
        if (step.copy) {
            if (!copyFromBasis(basis, step, target)) {
                outcome = Step::Fail;
                break;
            }
            *copied += step.length;
            continue;
        }
        uint32_t written = step.at;
        const FetchRange range{step.at, step.at + step.length};
        const MirrorOutcome mirrored = fetchFromMirrors(target, serial, maxBytes, &range, &written);
        if (mirrored == MirrorOutcome::Done) continue;
        if (mirrored != MirrorOutcome::Fallback) {
            outcome = mirrored == MirrorOutcome::Stopped ? Step::Stop : Step::Fail;
            break;
        }
        const FastOutcome fetched = fetchRangeFast(target, serial, {written, range.to}, &written);
        if (fetched == FastOutcome::Done) continue;
        if (fetched == FastOutcome::Base) outcome = receiveFile(target, serial, written, maxBytes);
        if (fetched == FastOutcome::Stopped) outcome = Step::Stop;
        if (fetched == FastOutcome::Failed) outcome = Step::Fail;
        break;
    }
    std::fclose(basis);
    return outcome;
}

// A plan made by weak sums alone that gave another digest, made again from
// its table with both sums: true, with steps, when that plan differs (a
// block it copied was not the new file's) and still saves bytes. The same
// plan would give the same bytes: then the file is fetched whole.
bool planAgainWithBothSums(const PatchSource& patch, uint32_t maxBytes, std::vector<PatchStep>* steps) {
    std::FILE* basis = platform::openFile(patch.basisPath, "rb");
    if (basis == nullptr) return false;
    const long basisSize = std::fseek(basis, 0, SEEK_END) == 0 ? std::ftell(basis) : -1;
    const bool planned = basisSize >= 0 &&
                         PlanPatch(*patch.weaklyPlanned, basis, static_cast<uint64_t>(basisSize), steps,
                                   ProbeCheck::Strong) &&
                         FetchedBytes(*steps) < maxBytes;
    std::fclose(basis);
    const auto same = [](const PatchStep& x, const PatchStep& y) {
        return x.copy == y.copy && x.from == y.from && x.at == y.at && x.length == y.length;
    };
    return planned && !std::equal(steps->begin(), steps->end(), patch.steps->begin(), patch.steps->end(), same);
}

// A write the disk took only part of, as it filled up, can fail without
// naming the cause (the Windows runtime under Wine takes the error of an
// earlier call): a game folder's volume left with less room than one write
// tells it.
bool volumeFull() {
    constexpr uint64_t kRoomForAWrite = 64 * 1024;
    uint64_t freeBytes = 0;
    return platform::freeDiskBytes(g_RunState.gameDir, &freeBytes) && freeBytes < kRoomForAWrite;
}

// What this file and the files after it still need on the game folder's
// volume: the run's bytes not yet counted before this file, less what is
// staged of it now.
void reportOutOfSpace(const char* localName, const char* subDir, int32_t sendnowBefore) {
    const RunState& run = g_RunState;
    const uint32_t expected = static_cast<uint32_t>(run.wei);
    const uint32_t counted = static_cast<uint32_t>(sendnowBefore);
    uint64_t rest = expected > counted ? expected - counted : 0;
    const uint32_t staged = resumableBytes(localName, subDir, 0xFFFFFFFFu);
    rest = rest > staged ? rest - staged : 0;
    uint64_t freeBytes = 0;
    platform::freeDiskBytes(run.gameDir, &freeBytes);
    g_UpdateLog.write("%s写入失败,已保存%u字节", localName, staged);
    reportDiskShort(run.gameDir, rest + kDiskMargin, freeBytes);
}

}  // namespace

uint32_t resumableBytes(const char* localName, const char* subDir, uint32_t maxBytes) {
    char path[kMaxPath + 2];
    if (!stagedPath(path, sizeof path, subDir, localName)) return 0;
    std::FILE* file = platform::openFile(path, "rb");
    if (file == nullptr) return 0;
    long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    std::fclose(file);
    return size > 0 && static_cast<unsigned long>(size) < maxBytes ? static_cast<uint32_t>(size) : 0;
}

void downloadFile(const char* remoteName, const char* localName, const char* subDir,
                  int32_t serial, uint32_t maxBytes, const char* expectedMd5, uint32_t resumeAt,
                  const BuildManifestFile* signedAs, const PatchSource* patch) {
    // A signed entry is checked only together with the listed MD5.
    if (expectedMd5 == nullptr) signedAs = nullptr;
    char targetPath[kMaxPath + 2];
    if (!stagedPath(targetPath, sizeof targetPath, subDir, localName)) {
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
    Md5Init(&target.digest);
    std::optional<platform::Sha256> sha256;
    if (signedAs != nullptr) target.sha256 = &sha256.emplace();
    std::FILE* opened = expectedMd5 != nullptr && resumeAt > 0 ? openToResume(targetPath, resumeAt, &target) : nullptr;
    // Our own server's bytes are on their way already: the writer creates
    // the file while the first of them arrive, as on some disks a new file
    // costs as long as a megabyte's digest. A base server is never asked
    // for a file that cannot be created.
    const bool createBehind = opened == nullptr && g_RunState.fastMode;
    if (opened == nullptr) {
        // The staged bytes a failed resume read are not part of the file.
        if (resumeAt > 0 && signedAs != nullptr) target.sha256 = &sha256.emplace();
        resumeAt = 0;
        if (!createBehind) opened = platform::openFile(targetPath, "wb+");
    }
    g_UpdateLog.write("下载upd文件：%s,序列号%d,文件名:%s", directoryPath, serial, remoteName);
    if (createBehind) {
        openBehind(targetPath);
    } else if (opened != nullptr) {
        writeTo(opened);
    } else {
        g_RunState.runFailed = 1;
        notifyError(AU_ERR_TRANSFER);
        return;
    }
    const int32_t sendnowBefore = g_RunState.sendnow;
    if (resumeAt > 0) {
        g_UpdateLog.write("%s从第%u字节续传", localName, resumeAt);
        // The staged bytes count as received, so the run's progress still
        // reaches its whole.
        g_RunState.sendnow = static_cast<int32_t>(static_cast<uint32_t>(g_RunState.sendnow) + resumeAt);
    }

    if (patch != nullptr && (expectedMd5 == nullptr || resumeAt > 0)) patch = nullptr;
    const uint8_t failedBefore = g_RunState.runFailed;
    const int64_t savedBefore = g_RunState.bytesSaved;
    uint32_t copied = 0;
    Step step = patch != nullptr ? transferPatched(&target, static_cast<uint16_t>(serial), maxBytes, *patch, &copied)
                                 : transfer(&target, static_cast<uint16_t>(serial), resumeAt, maxBytes);
    // Whatever the step ended in, the bytes handed to the writer reach the
    // file before it is closed, judged or left staged.
    const bool written = awaitWrites(&target.file, &target.outOfSpace);
    if (!written && !target.outOfSpace) target.outOfSpace = volumeFull();
    if (!written && step == Step::Go) step = Step::Fail;
    if (target.file == nullptr) {
        // The writer could not create the file: nothing was staged.
        g_RunState.runFailed = 1;
        if (step != Step::Stop) notifyError(AU_ERR_TRANSFER);
        return;
    }
    bool closed = std::fclose(target.file) == 0;
    if (!closed && platform::writeFailedForSpace()) target.outOfSpace = true;
    if (step == Step::Stop) {
        g_RunState.runFailed = 1;
        return;
    }
    if (target.outOfSpace) {
        // Retrying or fetching the file again whole would fail the same way;
        // the bytes that reached the disk stay staged for the next run.
        reportOutOfSpace(localName, subDir, sendnowBefore);
        return;
    }
    if (patch != nullptr && !failedBefore && !g_RunState.runFailed) {
        // A plan that could not be carried out or gave other bytes costs one
        // whole transfer from the first byte, never another patch.
        const bool good =
            step == Step::Go && closed && digestAsListed(&target, targetPath, localName, expectedMd5, signedAs);
        std::vector<PatchStep> checked;
        if (!good && step == Step::Go && closed && patch->weaklyPlanned != nullptr &&
            planAgainWithBothSums(*patch, maxBytes, &checked)) {
            g_UpdateLog.write("%s按块更新结果不符,逐块核对后重试", localName);
            g_RunState.sendnow = sendnowBefore;
            g_RunState.bytesSaved = savedBefore;
            const PatchSource again{patch->basisPath, &checked};
            downloadFile(remoteName, localName, subDir, serial, maxBytes, expectedMd5, 0, signedAs, &again);
            return;
        }
        if (!good) {
            g_UpdateLog.write("%s按块更新失败,整个文件重新下载", localName);
            g_RunState.sendnow = sendnowBefore;
            g_RunState.bytesSaved = savedBefore;
            downloadFile(remoteName, localName, subDir, serial, maxBytes, expectedMd5, 0, signedAs);
            return;
        }
        g_UpdateLog.write("%s按块更新:复制%u字节,下载%u字节", localName, copied, maxBytes - copied);
        notifyHost(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0);
        return;
    }
    // The last buffered bytes reach the disk only at close.
    if (step == Step::Fail || !closed) g_RunState.runFailed = 1;
    if (!g_RunState.runFailed && expectedMd5 != nullptr &&
        !digestAsListed(&target, targetPath, localName, expectedMd5, signedAs)) {
        // The staged bytes were of another build, or a mirror sent bytes
        // the publisher did not sign: once more, from the first byte, never
        // again from a staged part nor from that mirror.
        if (resumeAt > 0 || (target.mirrorBytes && blameMirrorsOf(static_cast<uint16_t>(serial)))) {
            g_RunState.sendnow = sendnowBefore;
            downloadFile(remoteName, localName, subDir, serial, maxBytes, expectedMd5, 0, signedAs);
            return;
        }
        g_RunState.runFailed = 1;
    }
    if (g_RunState.runFailed) {
        notifyError(AU_ERR_TRANSFER);
    } else {
        notifyHost(AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0);
    }
}
