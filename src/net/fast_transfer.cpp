#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "log/update_log.h"
#include "net/chunk_intake.h"
#include "net/deflated_reply.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/receive_limit.h"
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
    // A patched file: only these ranges travel, in file order; the bytes
    // between them are copied from the installed file.
    std::vector<FetchRange> ranges;
};

// A request on its way; its reply comes back in the same order.
struct Pending {
    std::size_t planIndex;
    uint32_t offset;
    bool stale;  // its reply is read and dropped
    uint32_t wanted;
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
// A deflated reply as the plain frame it stands for.
uint8_t g_inflatedFrame[kMaxFastFrame];
std::size_t g_bufferStart = 0;
std::size_t g_bufferEnd = 0;

uint32_t startOf(std::size_t planIndex) {
    return planIndex < g_plan.size() ? g_plan[planIndex].start : 0;
}

// Where the range of a patched file that holds offset ends; offset itself
// when none holds it.
uint32_t rangeEnd(const Planned& file, uint32_t offset) {
    for (const FetchRange& range : file.ranges) {
        if (offset >= range.from && offset < range.to) return range.to;
    }
    return offset;
}

// The first range of a patched file from offset on, kUnknownSize past the last.
uint32_t nextRangeFrom(const Planned& file, uint32_t offset) {
    for (const FetchRange& range : file.ranges) {
        if (range.to > offset) return range.from > offset ? range.from : offset;
    }
    return kUnknownSize;
}

// A patched file's request never asks past its range: the bytes behind it
// are already here.
uint32_t wantedAt(const Planned& file, uint32_t offset) {
    const uint32_t chunk = fastChunkPayload();
    if (file.ranges.empty()) return chunk;
    const uint32_t left = rangeEnd(file, offset) - offset;
    return left < chunk ? left : chunk;
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
                // Under a cap the reads pause here; the requests in flight
                // then wait in the socket buffers, and the server's sends
                // slow down with them.
                return paceReceived(buffsize + 2u) ? frame : nullptr;
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

// Bit 31 of the wanted size welcomes a deflated reply, where the server
// offers them and zlib is at hand to take them.
uint32_t deflatedWanted() {
    return (fastOfferExtras().features & kFastFeatureDeflate) != 0 && replyInflaterSet() ? kFastWantDeflated : 0;
}

void buildRequest(uint8_t* frame, uint16_t serial, uint32_t offset, uint32_t wanted) {
    buildFileRequest(frame, g_RunState.packageFileId, serial, offset);
    // The field a base client sends as 0 carries the chunk size we want.
    putLe32(frame + 8, wanted | deflatedWanted());
}

SendResult sendAll(const uint8_t* bytes, int size) {
    int sent = 0;
    while (sent < size) {
        if (g_RunState.stopRequested) return SendResult::Stopped;
        int count = sendOnLink(bytes + sent, size - sent);
        if (count < 0) return SendResult::Failed;
        sent += count;
    }
    return SendResult::Sent;
}

SendResult sendRequest(uint16_t serial, uint32_t offset, uint32_t wanted) {
    uint8_t frame[kFileRequestSize];
    buildRequest(frame, serial, offset, wanted);
    return sendAll(frame, static_cast<int>(kFileRequestSize));
}

// Keeps the window full, across file boundaries where the sizes are known.
// It is topped up once half of it is answered, the new requests in one
// send: a request per reply would cost a system call per chunk here and
// wake the server once per chunk, which then reads them one at a time.
SendResult fillWindow() {
    const uint32_t chunk = fastChunkPayload();
    const uint32_t window = fastWindow();
    if (g_pending.size() > window / 2) return SendResult::Sent;
    uint8_t frames[kFastMaxWindow * kFileRequestSize];
    std::size_t count = 0;
    // The offer's window is held to kFastMaxWindow; the buffer holds that many.
    while (g_pending.size() < window && count < kFastMaxWindow && g_cursor.planIndex < g_plan.size() &&
           !g_cursor.waiting) {
        const Planned& file = g_plan[g_cursor.planIndex];
        const uint32_t wanted = wantedAt(file, g_cursor.offset);
        buildRequest(frames + count * kFileRequestSize, file.serial, g_cursor.offset, wanted);
        ++count;
        g_pending.push_back({g_cursor.planIndex, g_cursor.offset, false, wanted});
        if (file.size == kUnknownSize) {
            g_cursor.waiting = true;
        } else if (!file.ranges.empty()) {
            const uint32_t next = nextRangeFrom(file, g_cursor.offset + wanted);
            if (next == kUnknownSize) {
                g_cursor = Cursor{g_cursor.planIndex + 1, startOf(g_cursor.planIndex + 1), false};
            } else {
                g_cursor.offset = next;
            }
        } else if (static_cast<uint64_t>(g_cursor.offset) + chunk >= file.size) {
            g_cursor = Cursor{g_cursor.planIndex + 1, startOf(g_cursor.planIndex + 1), false};
        } else {
            g_cursor.offset += chunk;
        }
    }
    // A failed or stopped send ends the link or the run, and with it these
    // entries (dropInFlight, or the next run's start).
    return count == 0 ? SendResult::Sent : sendAll(frames, static_cast<int>(count * kFileRequestSize));
}

// Finds the file in the plan (a file the plan does not name is asked for on
// its own). Replies still due for files before it are dropped: those
// transfers ended without reading them.
void beginFile(uint16_t serial, uint32_t start, const FetchRange* range) {
    std::size_t found = g_head;
    while (found < g_plan.size() && g_plan[found].serial != serial) ++found;
    const auto planned = [range](const FetchRange& r) { return r.from == range->from && r.to == range->to; };
    if (found == g_plan.size() || g_plan[found].start != start ||
        g_plan[found].ranges.empty() != (range == nullptr) ||
        (range != nullptr && std::none_of(g_plan[found].ranges.begin(), g_plan[found].ranges.end(), planned))) {
        // Not planned, or planned from another byte, as a whole file where a
        // range is wanted (or the other way round) or with other ranges (a
        // file planned again): ask for it anew.
        markAllStale();
        if (found == g_plan.size()) g_plan.push_back({serial, kUnknownSize, start, {}});
        g_plan[found].start = start;
        g_plan[found].ranges.clear();
        if (range != nullptr) g_plan[found].ranges.push_back(*range);
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

// A range of a patched file is in: the file goes on at its next range, or
// is finished after its last.
void finishRange(uint32_t written) {
    Planned& file = g_plan[g_head];
    const uint32_t next = nextRangeFrom(file, written);
    if (next == kUnknownSize) {
        finishFile();
        return;
    }
    file.start = next;
    if (g_cursor.planIndex == g_head && g_cursor.offset < next) g_cursor = Cursor{g_head, next, false};
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
        // Back from HTTP mirrors, the server the run let go comes first.
        const bool back = linkParked() && unparkLink();
        if (!fastBuildKnown()) {
            if (back || reconnectServer()) {
                if (back) platform::sleepMs(kPauseAfterReconnectMs);
                return AfterLoss::Base;
            }
            g_RunState.runFailed = 1;
            return AfterLoss::Failed;
        }
        if (!back && !connectNextServer()) {
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
    for (std::size_t i = 0; i < count; ++i) {
        g_plan.push_back({files[i].serial, files[i].size, files[i].start, files[i].ranges});
        if (!files[i].ranges.empty()) g_plan.back().start = files[i].ranges.front().from;
    }
    g_head = 0;
    g_cursor = Cursor{0, startOf(0), false};
}

namespace {

// The loop of both: a whole file up to maxBytes, or one range of a patched
// file, which ends at range->to.
FastOutcome fetchFast(TransferTarget* target, uint16_t serial, uint32_t maxBytes, uint32_t* resumeOffset,
                      const FetchRange* range) {
    if (!g_RunState.fastMode) return FastOutcome::Base;
    uint32_t written = *resumeOffset;
    if (linkParked()) {
        FastOutcome outcome = FastOutcome::Failed;
        if (settleLoss(leaveAfterLoss(written, resumeOffset), &outcome)) return outcome;
    }
    beginFile(serial, written, range);
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
        if ((frame[2] & kFastChunkDeflatedBit) != 0) {
            if (!inflateReply(frame, answered.wanted, g_inflatedFrame)) return FastOutcome::Failed;
            frame = g_inflatedFrame;
        }

        logReplyFrame(frame);
        if (g_RunState.runFailed) return FastOutcome::Failed;
        const uint32_t limit = range != nullptr ? range->to : maxBytes;
        switch (takeChunk(frame, target, written, limit, &repliesWithoutProgress)) {
        case ChunkIntake::More:
            written += le16(frame) - 1u;
            *resumeOffset = written;
            if (range != nullptr && written == range->to) {
                finishRange(written);
                return FastOutcome::Done;
            }
            followOn(written);
            break;
        case ChunkIntake::Last:
            *resumeOffset = written + (le16(frame) - 1u);
            finishFile();
            // The end of the file before the end of the range: it is shorter
            // than listed, and what the plan copies after it is not the file.
            if (range != nullptr && *resumeOffset != range->to) return FastOutcome::Failed;
            return FastOutcome::Done;
        case ChunkIntake::Stopped:
            return FastOutcome::Stopped;
        case ChunkIntake::Refused:
        case ChunkIntake::Failed:
            return FastOutcome::Failed;
        }
    }
}

// A file that is no list record's (a table, the manifest, the signature),
// whole into out, at most limit bytes, one request at a time: these are
// small, and a server that sends the wrong thing is found out before any
// file of the build is asked for. *lost tells a failed link from a refusal.
bool fetchWhole(uint16_t serial, uint32_t limit, std::vector<uint8_t>* out, bool* lost) {
    out->clear();
    *lost = false;
    const uint32_t chunk = fastChunkPayload();
    for (int emptyReplies = 0; emptyReplies < kRepliesWithoutProgress;) {
        const uint32_t offset = static_cast<uint32_t>(out->size());
        const SendResult sent = sendRequest(serial, offset, chunk);
        if (sent == SendResult::Stopped) return false;
        const uint8_t* frame = sent == SendResult::Sent ? nextFrame() : nullptr;
        if (frame == nullptr) {
            *lost = !g_RunState.stopRequested;
            return false;
        }
        if ((frame[2] & kFastChunkDeflatedBit) != 0) {
            if (!inflateReply(frame, chunk, g_inflatedFrame)) return false;
            frame = g_inflatedFrame;
        }
        const uint32_t payload = le16(frame) - 1u;
        if (frame[2] == kChunkRefused || static_cast<uint64_t>(offset) + payload > limit) return false;
        out->insert(out->end(), frame + 3, frame + 3 + payload);
        if (frame[2] == kChunkLast) return true;
        emptyReplies = payload == 0 ? emptyReplies + 1 : 0;
    }
    return false;
}

}  // namespace

bool fetchReservedFast(uint16_t serial, uint32_t maxBytes, std::vector<uint8_t>* out) {
    // Asked for right after the package reply, with nothing in flight; the
    // caller leaves a server it cannot use, so a lost link is left alone.
    if (!g_RunState.fastMode || !g_pending.empty()) return false;
    bool lost = false;
    return fetchWhole(serial, maxBytes, out, &lost);
}

bool fetchSideFileFast(uint16_t serial, uint32_t limit, std::vector<uint8_t>* out) {
    out->clear();
    if (!g_RunState.fastMode) return false;
    // A lost link is replaced as in a transfer; the side file is given up.
    auto lost = [] {
        if (g_RunState.stopRequested || g_RunState.runFailed) return false;
        uint32_t unused = 0;
        leaveAfterLoss(0, &unused);
        return false;
    };
    // Replies still due for earlier requests come first.
    while (!g_pending.empty()) {
        if (nextFrame() == nullptr) return lost();
        g_pending.pop_front();
    }
    bool linkLost = false;
    const bool whole = fetchWhole(serial, limit, out, &linkLost);
    // Side bytes are not the file's: no progress, only their cost.
    g_RunState.bytesSaved -= static_cast<int64_t>(out->size());
    if (linkLost) return lost();
    return whole;
}

FastOutcome fetchFileFast(TransferTarget* target, uint16_t serial, uint32_t maxBytes, uint32_t* resumeOffset) {
    return fetchFast(target, serial, maxBytes, resumeOffset, nullptr);
}

FastOutcome fetchRangeFast(TransferTarget* target, uint16_t serial, FetchRange range, uint32_t* resumeOffset) {
    *resumeOffset = range.from;
    return fetchFast(target, serial, range.to, resumeOffset, &range);
}
