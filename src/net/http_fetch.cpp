#include "net/http_fetch.h"

#include <cstring>
#include <deque>
#include <memory>

#include "log/update_log.h"
#include "net/chunk_intake.h"
#include "net/frames.h"
#include "net/http_mirrors.h"
#include "net/receive_limit.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "run/run_state.h"

namespace {

// Pieces of 1 MiB on 1 MiB boundaries are what a caching proxy that slices
// by 1 MiB keeps, so fifty players asking the same file cost its origin
// about one copy. Four connections keep a long round trip from setting the
// speed; eight pieces ahead bound the memory to 8 MiB.
constexpr uint32_t kPieceBytes = 1u << 20;
constexpr std::size_t kHelpers = 4;
constexpr std::size_t kPiecesAhead = 8;
constexpr uint32_t kWaitStepMs = 100;
constexpr uint32_t kFramePayload = kFastMaxChunkPayload;
constexpr uint8_t kChunkMore = 1;
// A connection that moves fewer than 8 KiB a second for 15 seconds fails,
// so four of them fall under 32 KiB/s: less than the base protocol carries
// at a 250 ms round trip, and the server's fast mode is then the better
// source.
constexpr platform::HttpLimits kLimits{10, 8 * 1024, 15};

struct Mirror {
    std::string base;
    bool dropped = false;
};

enum class PieceState { Queued, Fetching, Done, Short, Failed };

struct Piece {
    std::size_t file;  // in the plan
    uint32_t from;
    uint32_t length;
    bool whole;  // the whole object, asked for without Range
    std::size_t mirror;
    std::string url;
    uint32_t fileSize;
    PieceState state = PieceState::Queued;
    bool retried = false;
    std::vector<uint8_t> bytes;
    std::string reason;
};

struct PlannedFile {
    MirrorPlanned planned;
    uint32_t servedBy = 0;  // bit per mirror that sent bytes of it
};

// Where the next piece starts: a file of the plan, one of its spans (the
// whole rest of the file, or a range of a patched one) and an offset.
struct Cursor {
    std::size_t file = 0;
    std::size_t span = 0;
    uint32_t offset = 0;
};

std::vector<Mirror> g_mirrors;
std::vector<PlannedFile> g_plan;
Cursor g_cursor;
bool g_httpStarted = false;

// Shared with the helpers, under g_mutex.
platform::Mutex g_mutex;
platform::Condition g_changed;
std::deque<std::shared_ptr<Piece>> g_window;
bool g_quit = false;

struct Helper {
    platform::ThreadHandle thread = nullptr;
    std::unique_ptr<platform::HttpConnection> connection;
};
Helper g_helpers[kHelpers];
bool g_helpersRunning = false;

std::vector<FetchRange> spansOf(const PlannedTransfer& file) {
    if (!file.ranges.empty()) return file.ranges;
    return {{file.start, file.size}};
}

// Takes the bytes of one piece and judges the answer as far as HTTP can:
// the digest of the whole file judges the bytes.
class PieceSink : public platform::HttpSink {
public:
    PieceSink(const Piece& piece, std::vector<uint8_t>* out, std::string* why)
        : piece_(piece), out_(out), why_(why) {}

    bool headers(const platform::HttpReply& reply) override {
        char text[96];
        if (piece_.whole) {
            if (reply.status != 200) return refuse(text, "HTTP %d", reply.status);
            if (reply.lengthKnown && reply.contentLength != piece_.length) {
                return refuse(text, "Content-Length %llu, not %u", static_cast<unsigned long long>(reply.contentLength),
                              piece_.length);
            }
            return true;
        }
        if (reply.status == 200) return refuse(text, "HTTP 200 for a Range");
        if (reply.status != 206) return refuse(text, "HTTP %d", reply.status);
        const uint64_t last = static_cast<uint64_t>(piece_.from) + piece_.length - 1;
        if (!reply.rangeKnown || reply.rangeFirst != piece_.from || reply.rangeLast != last ||
            (reply.rangeTotal != 0 && reply.rangeTotal != piece_.fileSize)) {
            return refuse(text, "Content-Range not bytes %u-%llu/%u", piece_.from, static_cast<unsigned long long>(last),
                          piece_.fileSize);
        }
        if (reply.lengthKnown && reply.contentLength != piece_.length) {
            return refuse(text, "Content-Length %llu, not %u", static_cast<unsigned long long>(reply.contentLength),
                          piece_.length);
        }
        return true;
    }

    bool body(const uint8_t* bytes, std::size_t count) override {
        if (out_->size() + count > piece_.length) {
            *why_ = "more bytes than asked";
            return false;
        }
        out_->insert(out_->end(), bytes, bytes + count);
        return true;
    }

private:
    template <typename... Args>
    bool refuse(char* text, const char* format, Args... args) {
        std::snprintf(text, 96, format, args...);
        *why_ = text;
        return false;
    }

    const Piece& piece_;
    std::vector<uint8_t>* out_;
    std::string* why_;
};

void fetchPiece(platform::HttpConnection& connection, const Piece& piece, std::vector<uint8_t>* bytes,
                std::string* reason, PieceState* state) {
    PieceSink sink(piece, bytes, reason);
    platform::HttpReply reply;
    const uint64_t rangeLength = piece.whole ? 0 : piece.length;
    const platform::HttpOutcome outcome =
        connection.get(piece.url.c_str(), piece.whole ? 0 : piece.from, rangeLength, kLimits, sink, &reply);
    *state = PieceState::Failed;
    if (outcome == platform::HttpOutcome::Refused) return;
    if (outcome != platform::HttpOutcome::Complete) {
        *reason = reply.reason.empty() ? "no answer" : reply.reason;
        return;
    }
    if (bytes->size() == piece.length) {
        *state = PieceState::Done;
        return;
    }
    // A body cut short can look like a whole one (Wine's WinHTTP ends it
    // without an error): it deserves one more try from the same mirror.
    char text[96];
    std::snprintf(text, sizeof text, "body of %u bytes, not %u", static_cast<unsigned>(bytes->size()), piece.length);
    *reason = text;
    *state = PieceState::Short;
}

uint32_t helperBody(void* argument) {
    Helper& self = *static_cast<Helper*>(argument);
    for (;;) {
        std::shared_ptr<Piece> piece;
        {
            platform::MutexLock lock(g_mutex);
            for (;;) {
                if (g_quit) return 0;
                for (const std::shared_ptr<Piece>& queued : g_window) {
                    if (queued->state == PieceState::Queued) {
                        piece = queued;
                        break;
                    }
                }
                if (piece != nullptr) break;
                g_changed.wait(g_mutex, 1000);
            }
            piece->state = PieceState::Fetching;
        }
        std::vector<uint8_t> bytes;
        std::string reason;
        PieceState state = PieceState::Failed;
        bytes.reserve(piece->length);
        fetchPiece(*self.connection, *piece, &bytes, &reason, &state);
        platform::MutexLock lock(g_mutex);
        piece->bytes.swap(bytes);
        piece->reason = reason;
        piece->state = state;
        g_changed.wakeAll();
    }
}

bool startHelpers() {
    if (g_helpersRunning) return true;
    g_quit = false;
    for (Helper& helper : g_helpers) {
        helper.connection = std::make_unique<platform::HttpConnection>();
        helper.thread = platform::startThreadWith(helperBody, &helper);
        if (helper.thread == nullptr) {
            endMirrorFetches();
            return false;
        }
        g_helpersRunning = true;
    }
    return true;
}

std::size_t liveMirror() {
    for (std::size_t i = 0; i < g_mirrors.size(); ++i) {
        if (!g_mirrors[i].dropped) return i;
    }
    return g_mirrors.size();
}

// The pieces not yet asked for go; one a helper is fetching finishes unseen.
void clearWindow() {
    platform::MutexLock lock(g_mutex);
    g_window.clear();
}

// Queues pieces from the cursor on, up to the bound, across files.
void fillWindow() {
    const std::size_t mirror = liveMirror();
    if (mirror == g_mirrors.size()) return;
    platform::MutexLock lock(g_mutex);
    bool added = false;
    while (g_window.size() < kPiecesAhead && g_cursor.file < g_plan.size()) {
        const PlannedFile& file = g_plan[g_cursor.file];
        const std::vector<FetchRange> spans = spansOf(file.planned.file);
        if (g_cursor.span >= spans.size() || g_cursor.offset >= spans[g_cursor.span].to) {
            if (g_cursor.span + 1 < spans.size()) {
                ++g_cursor.span;
                g_cursor.offset = spans[g_cursor.span].from;
            } else {
                g_cursor = Cursor{g_cursor.file + 1, 0, 0};
                if (g_cursor.file < g_plan.size()) g_cursor.offset = spansOf(g_plan[g_cursor.file].planned.file)[0].from;
            }
            continue;
        }
        auto piece = std::make_shared<Piece>();
        const uint32_t size = file.planned.file.size;
        const uint32_t boundary = (g_cursor.offset / kPieceBytes + 1) * kPieceBytes;
        const uint32_t end = spans[g_cursor.span].to < boundary ? spans[g_cursor.span].to : boundary;
        piece->file = g_cursor.file;
        piece->from = g_cursor.offset;
        piece->length = end - g_cursor.offset;
        piece->whole = piece->from == 0 && piece->length == size;
        piece->mirror = mirror;
        piece->url = MirrorObjectUrl(g_mirrors[mirror].base, file.planned.sha256);
        piece->fileSize = size;
        g_window.push_back(piece);
        g_cursor.offset = end;
        added = true;
    }
    if (added) g_changed.wakeAll();
}

// The window starts again at this file and byte, with the mirror now first.
void restartAt(std::size_t file, uint32_t from, const FetchRange* range) {
    clearWindow();
    PlannedTransfer& planned = g_plan[file].planned.file;
    // A whole file goes on from the first byte not written: after a resume
    // that failed its digest, that is byte 0 again.
    if (range == nullptr) planned.start = from;
    g_cursor = Cursor{file, 0, from};
    const std::vector<FetchRange> spans = spansOf(planned);
    while (g_cursor.span < spans.size() && spans[g_cursor.span].to <= from) ++g_cursor.span;
}

void dropMirror(std::size_t mirror, const std::string& reason) {
    if (mirror >= g_mirrors.size() || g_mirrors[mirror].dropped) return;
    g_mirrors[mirror].dropped = true;
    g_UpdateLog.write("HTTP镜像%s不可用,本次更新不再使用:%s", g_mirrors[mirror].base.c_str(), reason.c_str());
    if (liveMirror() == g_mirrors.size()) g_UpdateLog.write("没有可用的HTTP镜像,改从更新服务器下载");
}

// The head piece once a helper is done with it; null after a stop request.
std::shared_ptr<Piece> awaitHead() {
    platform::MutexLock lock(g_mutex);
    for (;;) {
        if (g_RunState.stopRequested) return nullptr;
        const std::shared_ptr<Piece>& head = g_window.front();
        if (head->state != PieceState::Queued && head->state != PieceState::Fetching) {
            std::shared_ptr<Piece> taken = head;
            g_window.pop_front();
            return taken;
        }
        g_changed.wait(g_mutex, kWaitStepMs);
    }
}

// The piece's bytes through the chunk intake, as chunk replies would bring
// them; the last byte of the file comes in a "last" frame.
ChunkIntake deliver(const Piece& piece, TransferTarget* target, uint32_t maxBytes, uint32_t* written) {
    static uint8_t frame[3 + kFramePayload];
    int repliesWithoutProgress = 0;
    uint32_t done = 0;
    do {
        const uint32_t left = piece.length - done;
        const uint32_t payload = left < kFramePayload ? left : kFramePayload;
        const bool last = piece.from + done + payload == piece.fileSize;
        frame[0] = static_cast<uint8_t>((payload + 1) & 0xFF);
        frame[1] = static_cast<uint8_t>((payload + 1) >> 8);
        frame[2] = last ? kChunkLast : kChunkMore;
        if (payload > 0) std::memcpy(frame + 3, piece.bytes.data() + done, payload);
        if (!paceReceived(payload + 3)) return ChunkIntake::Stopped;
        const ChunkIntake taken = takeChunk(frame, target, *written, maxBytes, &repliesWithoutProgress);
        if (taken != ChunkIntake::More && taken != ChunkIntake::Last) return taken;
        target->mirrorBytes = true;
        done += payload;
        *written += payload;
        if (taken == ChunkIntake::Last) return taken;
    } while (done < piece.length);
    return ChunkIntake::More;
}

std::size_t plannedIndex(uint16_t serial) {
    for (std::size_t i = 0; i < g_plan.size(); ++i) {
        if (g_plan[i].planned.file.serial == serial) return i;
    }
    return g_plan.size();
}

// A block table, whole: no Range, at most its limit.
class TableSink : public platform::HttpSink {
public:
    TableSink(uint32_t limit, std::vector<uint8_t>* out, std::string* why) : limit_(limit), out_(out), why_(why) {}

    bool headers(const platform::HttpReply& reply) override {
        if (reply.status == 200 && (!reply.lengthKnown || reply.contentLength <= limit_)) return true;
        char text[64];
        std::snprintf(text, sizeof text, reply.status == 200 ? "table over %u bytes" : "HTTP %d",
                      reply.status == 200 ? limit_ : static_cast<uint32_t>(reply.status));
        *why_ = text;
        return false;
    }

    bool body(const uint8_t* bytes, std::size_t count) override {
        if (out_->size() + count > limit_) {
            *why_ = "table over its limit";
            return false;
        }
        out_->insert(out_->end(), bytes, bytes + count);
        return true;
    }

private:
    uint32_t limit_;
    std::vector<uint8_t>* out_;
    std::string* why_;
};

std::unique_ptr<platform::HttpConnection> g_tableConnection;

}  // namespace

void setRunMirrors(std::vector<std::string> mirrors) {
    endMirrorFetches();
    {
        platform::MutexLock lock(g_mutex);
        g_tableConnection.reset();
    }
    g_plan.clear();
    g_mirrors.clear();
    if (mirrors.empty()) return;
    if (!g_httpStarted) g_httpStarted = platform::startHttp();
    if (!g_httpStarted) {
        g_UpdateLog.write("系统没有HTTP客户端,只从更新服务器下载");
        return;
    }
    for (std::string& base : mirrors) {
        g_UpdateLog.write("HTTP镜像:%s", base.c_str());
        g_mirrors.push_back({std::move(base), false});
    }
}

bool mirrorsInUse() {
    return liveMirror() < g_mirrors.size();
}

void planMirrorFetches(const std::vector<MirrorPlanned>& files) {
    clearWindow();
    g_plan.clear();
    if (!mirrorsInUse()) return;
    for (const MirrorPlanned& file : files) g_plan.push_back({file, 0});
    g_cursor = Cursor{};
    if (!g_plan.empty()) g_cursor.offset = spansOf(g_plan[0].planned.file)[0].from;
    if (!startHelpers()) {
        g_UpdateLog.write("无法启动HTTP下载线程,只从更新服务器下载");
        g_mirrors.clear();
    }
}

MirrorOutcome fetchFromMirrors(TransferTarget* target, uint16_t serial, uint32_t maxBytes, const FetchRange* range,
                               uint32_t* written) {
    if (!mirrorsInUse() || !g_helpersRunning) return MirrorOutcome::Fallback;
    const std::size_t file = plannedIndex(serial);
    if (file == g_plan.size()) return MirrorOutcome::Fallback;
    PlannedFile& planned = g_plan[file];
    bool aligned = true;
    if (range == nullptr && !planned.planned.file.ranges.empty()) {
        // A patch that failed: the file is fetched whole after all.
        planned.planned.file.ranges.clear();
        aligned = false;
    }
    if (range != nullptr && planned.planned.file.ranges.empty()) return MirrorOutcome::Fallback;
    const uint32_t end = range != nullptr ? range->to : planned.planned.file.size;
    if (planned.planned.file.size != maxBytes) return MirrorOutcome::Fallback;
    if (*written >= end) {
        // An empty file has nothing to fetch: its one "last" reply is made here.
        if (planned.planned.file.size != 0 || range != nullptr) return MirrorOutcome::Fallback;
        Piece empty;
        empty.file = file;
        empty.from = empty.length = empty.fileSize = 0;
        empty.whole = true;
        empty.mirror = 0;
        return deliver(empty, target, maxBytes, written) == ChunkIntake::Last ? MirrorOutcome::Done
                                                                               : MirrorOutcome::Failed;
    }

    // The window holds what was fetched ahead; it is used only when its
    // first piece is exactly what this transfer needs next.
    if (aligned) {
        platform::MutexLock lock(g_mutex);
        while (!g_window.empty() && g_window.front()->file < file) g_window.pop_front();
        aligned = g_window.empty() ? g_cursor.file == file && g_cursor.offset == *written
                                   : g_window.front()->file == file && g_window.front()->from == *written;
    }
    if (!aligned) restartAt(file, *written, range);

    for (;;) {
        fillWindow();
        bool empty = false;
        {
            platform::MutexLock lock(g_mutex);
            empty = g_window.empty();
        }
        if (!mirrorsInUse() || empty) {
            clearWindow();
            return MirrorOutcome::Fallback;
        }
        std::shared_ptr<Piece> piece = awaitHead();
        if (piece == nullptr) return MirrorOutcome::Stopped;
        if (piece->state == PieceState::Short && !piece->retried) {
            platform::MutexLock lock(g_mutex);
            piece->retried = true;
            piece->state = PieceState::Queued;
            piece->bytes.clear();
            g_window.push_front(piece);
            g_changed.wakeAll();
            continue;
        }
        if (piece->state != PieceState::Done) {
            dropMirror(piece->mirror, piece->reason);
            if (!mirrorsInUse()) {
                clearWindow();
                return MirrorOutcome::Fallback;
            }
            restartAt(file, *written, range);
            continue;
        }
        planned.servedBy |= 1u << piece->mirror;
        const ChunkIntake taken = deliver(*piece, target, maxBytes, written);
        if (taken == ChunkIntake::Stopped) return MirrorOutcome::Stopped;
        if (taken != ChunkIntake::More && taken != ChunkIntake::Last) return MirrorOutcome::Failed;
        if (*written >= end) return MirrorOutcome::Done;
    }
}

bool fetchTableFromMirrors(const uint8_t sha256[32], uint32_t limit, std::vector<uint8_t>* out) {
    for (std::size_t mirror = liveMirror(); mirror < g_mirrors.size(); mirror = liveMirror()) {
        if (g_RunState.stopRequested) return false;
        {
            platform::MutexLock lock(g_mutex);
            if (g_tableConnection == nullptr) g_tableConnection = std::make_unique<platform::HttpConnection>();
        }
        out->clear();
        std::string why;
        TableSink sink(limit, out, &why);
        platform::HttpReply reply;
        const std::string url = MirrorObjectUrl(g_mirrors[mirror].base, sha256, true);
        const platform::HttpOutcome outcome = g_tableConnection->get(url.c_str(), 0, 0, kLimits, sink, &reply);
        if (outcome == platform::HttpOutcome::Complete && (!reply.lengthKnown || reply.contentLength == out->size())) {
            // A table is not the file's bytes: only its cost counts.
            g_RunState.bytesSaved -= static_cast<int64_t>(out->size());
            return true;
        }
        if (g_RunState.stopRequested) return false;
        if (outcome == platform::HttpOutcome::Complete) why = "table cut short";
        if (outcome == platform::HttpOutcome::Failed) why = reply.reason.empty() ? "no answer" : reply.reason;
        dropMirror(mirror, why);
    }
    return false;
}

bool blameMirrorsOf(uint16_t serial) {
    const std::size_t file = plannedIndex(serial);
    if (file == g_plan.size()) return false;
    bool dropped = false;
    for (std::size_t i = 0; i < g_mirrors.size(); ++i) {
        if ((g_plan[file].servedBy & (1u << i)) == 0 || g_mirrors[i].dropped) continue;
        dropMirror(i, "bytes that fail the signed digest");
        dropped = true;
    }
    g_plan[file].servedBy = 0;
    // The pieces fetched ahead may be of the same mirror.
    if (dropped) {
        clearWindow();
        g_cursor = Cursor{file + 1, 0, file + 1 < g_plan.size() ? spansOf(g_plan[file + 1].planned.file)[0].from : 0};
    }
    return dropped;
}

void endMirrorFetches() {
    if (!g_helpersRunning) return;
    {
        platform::MutexLock lock(g_mutex);
        g_quit = true;
        g_window.clear();
        g_changed.wakeAll();
    }
    interruptMirrorFetches();
    for (Helper& helper : g_helpers) {
        if (helper.thread == nullptr) continue;
        platform::waitForThread(helper.thread, 0xFFFFFFFFu);
        platform::releaseThread(helper.thread);
        helper.thread = nullptr;
    }
    platform::MutexLock lock(g_mutex);
    for (Helper& helper : g_helpers) helper.connection.reset();
    g_helpersRunning = false;
}

void interruptMirrorFetches() {
    platform::MutexLock lock(g_mutex);
    for (Helper& helper : g_helpers) {
        if (helper.connection != nullptr) helper.connection->interrupt();
    }
    if (g_tableConnection != nullptr) g_tableConnection->interrupt();
}
