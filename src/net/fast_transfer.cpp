#include <cstring>
#include <deque>
#include <vector>

#include "log/update_log.h"
#include "net/chunk_intake.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/server_link.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;
constexpr int kRepliesWithoutProgress = 40;
constexpr std::size_t kMaxFastFrame = 2 + 1 + kFastMaxChunkPayload;
// Room for several whole frames, so one read takes in whatever has arrived.
constexpr std::size_t kFastBufferSize = 4 * kMaxFastFrame;

struct Planned {
    uint16_t serial;
    uint32_t size;   // kUnknownSize: asked for one chunk at a time
    uint32_t start;  // the first byte not yet staged
};

// A request on its way; its reply comes back in the same order.
struct Pending {
    std::size_t planIndex;
    uint32_t offset;
    bool stale;  // its reply is read and dropped
};

// Where the next request goes.
struct Cursor {
    std::size_t planIndex = 0;
    uint32_t offset = 0;
    bool waiting = false;  // a file of unknown size has its one request out
};

std::vector<Planned> g_plan;
std::size_t g_head = 0;  // the file being received
Cursor g_cursor;
std::deque<Pending> g_pending;

uint8_t g_fastBuffer[kFastBufferSize];
std::size_t g_bufferStart = 0;
std::size_t g_bufferEnd = 0;

uint32_t startOf(std::size_t planIndex) {
    return planIndex < g_plan.size() ? g_plan[planIndex].start : 0;
}

void markAllStale() {
    for (Pending& pending : g_pending) pending.stale = true;
}

void putLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// A frame's deadline grows with its size: each base frame's worth of bytes
// gets the base frame's deadline, so a link slow enough for a large chunk to
// outlast one deadline carries the fast mode wherever it carries the base
// protocol, and a server that trickles still cannot hold the run.
uint32_t frameDeadlineFor(uint16_t buffsize) {
    const uint32_t baseFrames = (buffsize + 2u + kReceiveBufferSize - 1u) / kReceiveBufferSize;
    return frameDeadline() * (baseFrames > 0 ? baseFrames : 1u);
}

// The next whole reply frame on the link, within the frame deadline, or null
// after a failed read (the link is dropped as by receiveFrame) or a stop
// request. The frame stays valid until the next call.
const uint8_t* nextFrame() {
    if (g_RunState.stopRequested) return nullptr;
    uint32_t allowed = frameDeadline();
    const uint32_t started = platform::tickCount();
    for (;;) {
        const std::size_t have = g_bufferEnd - g_bufferStart;
        if (have >= 2) {
            const uint16_t buffsize = le16(g_fastBuffer + g_bufferStart);
            // A chunk needs its flag byte.
            if (buffsize == 0) {
                dropLink(0);
                return nullptr;
            }
            allowed = frameDeadlineFor(buffsize);
            if (have >= buffsize + 2u) {
                const uint8_t* frame = g_fastBuffer + g_bufferStart;
                g_bufferStart += buffsize + 2u;
                return frame;
            }
        }
        if (g_bufferStart == g_bufferEnd) {
            g_bufferStart = g_bufferEnd = 0;
        } else if (kFastBufferSize - g_bufferEnd < kMaxFastFrame) {
            std::memmove(g_fastBuffer, g_fastBuffer + g_bufferStart, have);
            g_bufferStart = 0;
            g_bufferEnd = have;
        }
        if (g_Socket == 0) return nullptr;
        if (g_Socket == platform::kInvalidSocket) {
            dropLink(0);
            return nullptr;
        }
        const uint32_t elapsed = platform::tickCount() - started;
        if (elapsed >= allowed) {
            dropLink(kFrameTimedOut);
            return nullptr;
        }
        int count = receiveOnLink(g_fastBuffer + g_bufferEnd, static_cast<int>(kFastBufferSize - g_bufferEnd),
                                  allowed - elapsed);
        if (g_RunState.stopRequested) return nullptr;
        if (count < 0) {
            dropLink(platform::lastError());
            return nullptr;
        }
        if (count == 0) {
            dropLink(0);
            return nullptr;
        }
        g_bufferEnd += static_cast<std::size_t>(count);
    }
}

enum class SendResult { Sent, Stopped, Failed };

SendResult sendRequest(uint16_t serial, uint32_t offset) {
    uint8_t frame[kFileRequestSize];
    buildFileRequest(frame, g_RunState.packageFileId, serial, offset);
    // The field a base client sends as 0 carries the chunk size we want.
    putLe32(frame + 8, fastChunkPayload());
    int sent = 0;
    while (sent < static_cast<int>(kFileRequestSize)) {
        if (g_RunState.stopRequested) return SendResult::Stopped;
        int count = sendOnLink(frame + sent, static_cast<int>(kFileRequestSize) - sent);
        if (count < 0) return SendResult::Failed;
        sent += count;
    }
    return SendResult::Sent;
}

// Keeps the window full, across file boundaries where the sizes are known.
SendResult fillWindow() {
    const uint32_t chunk = fastChunkPayload();
    while (g_pending.size() < fastWindow() && g_cursor.planIndex < g_plan.size() && !g_cursor.waiting) {
        const Planned& file = g_plan[g_cursor.planIndex];
        SendResult result = sendRequest(file.serial, g_cursor.offset);
        if (result != SendResult::Sent) return result;
        g_pending.push_back({g_cursor.planIndex, g_cursor.offset, false});
        if (file.size == kUnknownSize) {
            g_cursor.waiting = true;
        } else if (static_cast<uint64_t>(g_cursor.offset) + chunk >= file.size) {
            g_cursor = Cursor{g_cursor.planIndex + 1, startOf(g_cursor.planIndex + 1), false};
        } else {
            g_cursor.offset += chunk;
        }
    }
    return SendResult::Sent;
}

// Finds the file in the plan (a file the plan does not name is asked for on
// its own). Replies still due for files before it are dropped: those
// transfers ended without reading them.
void beginFile(uint16_t serial, uint32_t start) {
    std::size_t found = g_head;
    while (found < g_plan.size() && g_plan[found].serial != serial) ++found;
    if (found == g_plan.size() || g_plan[found].start != start) {
        // Not planned, or planned from another byte: ask for it anew.
        markAllStale();
        if (found == g_plan.size()) g_plan.push_back({serial, kUnknownSize, start});
        g_plan[found].start = start;
        g_cursor = Cursor{found, start, false};
    } else {
        for (Pending& pending : g_pending) {
            if (pending.planIndex < found) pending.stale = true;
        }
        if (g_cursor.planIndex < found) g_cursor = Cursor{found, start, false};
    }
    g_head = found;
}

// After a chunk that says more follow: unless the request for the next
// offset is already out or next in line, the listed size was wrong (or the
// server sent less than asked), and the rest of the file is asked for one
// chunk at a time.
void followOn(uint32_t written) {
    Planned& file = g_plan[g_head];
    if (file.size == kUnknownSize) {
        g_cursor = Cursor{g_head, written, false};
        return;
    }
    for (const Pending& pending : g_pending) {
        if (pending.stale || pending.planIndex != g_head) continue;
        if (pending.offset == written) return;
        break;
    }
    const bool anyPendingForFile = [] {
        for (const Pending& pending : g_pending) {
            if (!pending.stale && pending.planIndex == g_head) return true;
        }
        return false;
    }();
    if (!anyPendingForFile && g_cursor.planIndex == g_head && g_cursor.offset == written) return;
    markAllStale();
    file.size = kUnknownSize;
    g_cursor = Cursor{g_head, written, false};
}

// The last chunk came: requests for more of this file are answered past its
// end and dropped, and the next request goes to the next file.
void finishFile() {
    for (Pending& pending : g_pending) {
        if (pending.planIndex == g_head) pending.stale = true;
    }
    if (g_cursor.planIndex <= g_head) g_cursor = Cursor{g_head + 1, startOf(g_head + 1), false};
}

// Replies in flight on a lost connection are gone with it; the plan stays.
void dropInFlight() {
    g_pending.clear();
    g_bufferStart = g_bufferEnd = 0;
}

enum class AfterLoss { Fast, Base, Stopped, Failed };

// What a lost connection leaves: a new connection, and on it the fast mode
// again where the new server serves the run's build, else the base protocol;
// either way from the first byte not yet written. Each reconnect draws an
// untried server, so the rounds end with the server table.
AfterLoss leaveAfterLoss(uint32_t written, uint32_t* resumeOffset) {
    g_RunState.fastMode = 0;
    dropInFlight();
    *resumeOffset = written;
    for (;;) {
        if (!fastBuildKnown()) {
            if (reconnectServer()) return AfterLoss::Base;
            g_RunState.runFailed = 1;
            return AfterLoss::Failed;
        }
        if (!connectNextServer()) {
            g_RunState.runFailed = 1;
            return AfterLoss::Failed;
        }
        switch (resumeOnNewLink()) {
        case ResumeOutcome::Fast:
            g_UpdateLog.write("重新连接后继续快速传输,从%u字节开始", written);
            g_cursor = Cursor{g_head, written, false};
            return AfterLoss::Fast;
        case ResumeOutcome::Base:
            // The pause after a reconnect, owed to a server of the base protocol
            // before its first file request.
            platform::sleepMs(kPauseAfterReconnectMs);
            return AfterLoss::Base;
        case ResumeOutcome::OtherBuild:
            // Files of another build would fail their digests one by one;
            // the next run takes that build whole.
            g_UpdateLog.write("重新连接的服务器已是另一版本的更新包,本次更新中止");
            g_RunState.runFailed = 1;
            return AfterLoss::Failed;
        case ResumeOutcome::Stopped:
            return AfterLoss::Stopped;
        case ResumeOutcome::Lost:
            g_UpdateLog.write("rcv SOCKET_ERROR了");
            break;
        }
    }
}

// leaveAfterLoss as fetchFileFast answers it; Fast goes on in the loop.
bool settleLoss(AfterLoss after, FastOutcome* outcome) {
    switch (after) {
    case AfterLoss::Fast:
        return false;
    case AfterLoss::Base:
        *outcome = FastOutcome::Base;
        break;
    case AfterLoss::Stopped:
        *outcome = FastOutcome::Stopped;
        break;
    case AfterLoss::Failed:
        *outcome = FastOutcome::Failed;
        break;
    }
    return true;
}

}  // namespace

void resetFastPipeline() {
    g_plan.clear();
    g_head = 0;
    g_cursor = Cursor{};
    g_pending.clear();
    g_bufferStart = g_bufferEnd = 0;
}

void planTransfers(const PlannedTransfer* files, std::size_t count) {
    if (!g_RunState.fastMode) return;
    markAllStale();
    g_plan.clear();
    for (std::size_t i = 0; i < count; ++i) g_plan.push_back({files[i].serial, files[i].size, files[i].start});
    g_head = 0;
    g_cursor = Cursor{0, startOf(0), false};
}

FastOutcome fetchFileFast(TransferTarget* target, uint16_t serial, uint32_t maxBytes, uint32_t* resumeOffset) {
    if (!g_RunState.fastMode) return FastOutcome::Base;
    uint32_t written = *resumeOffset;
    beginFile(serial, written);
    int repliesWithoutProgress = 0;
    for (;;) {
        SendResult sent = fillWindow();
        if (sent == SendResult::Stopped) return FastOutcome::Stopped;
        if (sent == SendResult::Failed) {
            g_UpdateLog.write("send SOCKET_ERROR了");
            FastOutcome outcome;
            if (settleLoss(leaveAfterLoss(written, resumeOffset), &outcome)) return outcome;
            continue;
        }
        if (g_pending.empty()) {
            // Nothing is due for this file: ask for the rest one chunk at a time.
            g_plan[g_head].size = kUnknownSize;
            g_cursor = Cursor{g_head, written, false};
            continue;
        }

        const uint8_t* frame = nextFrame();
        if (frame == nullptr) {
            if (g_RunState.runFailed) return FastOutcome::Failed;
            g_UpdateLog.write("rcv SOCKET_ERROR了");
            FastOutcome outcome;
            if (settleLoss(leaveAfterLoss(written, resumeOffset), &outcome)) return outcome;
            continue;
        }
        const Pending answered = g_pending.front();
        g_pending.pop_front();
        if (answered.stale || answered.planIndex != g_head || answered.offset != written) continue;

        logReplyFrame(frame);
        if (g_RunState.runFailed) return FastOutcome::Failed;
        switch (takeChunk(frame, target, written, maxBytes, &repliesWithoutProgress)) {
        case ChunkIntake::More:
            written += le16(frame) - 1u;
            followOn(written);
            break;
        case ChunkIntake::Last:
            finishFile();
            return FastOutcome::Done;
        case ChunkIntake::Stopped:
            return FastOutcome::Stopped;
        case ChunkIntake::Refused:
        case ChunkIntake::Failed:
            return FastOutcome::Failed;
        }
    }
}

bool fetchReservedFast(uint16_t serial, uint32_t maxBytes, std::vector<uint8_t>* out) {
    out->clear();
    if (!g_RunState.fastMode || !g_pending.empty()) return false;
    // One request at a time: these are small, and a server that sends the
    // wrong thing is dropped before any file of the build is asked for.
    for (int emptyReplies = 0; emptyReplies < kRepliesWithoutProgress;) {
        if (sendRequest(serial, static_cast<uint32_t>(out->size())) != SendResult::Sent) return false;
        const uint8_t* frame = nextFrame();
        if (frame == nullptr) return false;
        const uint8_t flag = frame[2];
        const uint32_t payload = le16(frame) - 1u;
        if (flag == kChunkRefused || out->size() + payload > maxBytes) return false;
        out->insert(out->end(), frame + 3, frame + 3 + payload);
        if (flag == kChunkLast) return true;
        emptyReplies = payload == 0 ? emptyReplies + 1 : 0;
    }
    return false;
}
