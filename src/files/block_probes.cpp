#include "files/block_probes.h"

#include <algorithm>
#include <atomic>

#include "platform/platform.h"
#include "platform/sync.h"

namespace {

// A piece is read in one call and checked by one thread: large enough that
// handing it over costs nothing beside its MD5, small enough that the few
// pieces in flight stay a few MiB in a 32-bit process.
constexpr std::size_t kPieceBytes = 2u << 20;
constexpr std::size_t kHelpers = 2;
// A helper with nothing to do leaves after this long. The caller checks
// whatever is still queued itself, so a helper that left costs only time;
// and after a worker ended by force, nothing is left waiting in the library.
constexpr uint32_t kIdleLeaveMs = 2000;
constexpr uint32_t kWaitStepMs = 100;

// Bytes [start, start + bytes.size()) of the old file and the probes that
// lie inside them.
struct Piece {
    uint64_t start = 0;
    std::size_t firstProbe = 0;
    std::size_t probeCount = 0;
    std::vector<uint8_t> bytes;
};

// All a helper touches, on the heap and let go by the last of the caller
// and its helpers: a worker ended by force never comes back for it.
struct Shared {
    Shared(const BlockSums& sums, std::vector<BlockProbe> probes, ProbeCheck how)
        : sums(sums), probes(std::move(probes)), how(how), matched(this->probes.size(), 0) {}
    ~Shared() {
        for (Piece* piece : queued) delete piece;
        for (Piece* piece : spare) delete piece;
    }

    const BlockSums sums;
    const std::vector<BlockProbe> probes;
    const ProbeCheck how;
    // Per probe; each is written by the one thread that checks its piece
    // and read by the caller once no piece is out.
    std::vector<uint8_t> matched;

    platform::Mutex mutex;
    platform::Condition changed;
    // Under mutex.
    std::vector<Piece*> queued;  // read, waiting for a thread to check them
    std::vector<Piece*> spare;   // checked, their buffers free for the next read
    std::size_t helpersIn = 0;   // helpers that have not left
    std::size_t checking = 0;    // pieces a helper has taken and not given back
    bool quit = false;
    std::atomic<int> holders{1};

    void release() {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    void check(const Piece& piece) {
        for (std::size_t k = piece.firstProbe; k < piece.firstProbe + piece.probeCount; ++k) {
            const BlockProbe& probe = probes[k];
            const uint8_t* bytes = piece.bytes.data() + (probe.pos - piece.start);
            const uint32_t length = BlockLength(sums, probe.block);
            if (how == ProbeCheck::Strong) {
                matched[k] = BlockMatches(sums, probe.block, bytes, length);
            } else {
                RollingSum weak;
                weak.start(bytes, length);
                matched[k] = weak.value() == sums.weak[probe.block];
            }
        }
    }

    // A queued piece, or null once the queue is empty and quit is set or no
    // piece came for kIdleLeaveMs. Called with mutex held.
    Piece* nextQueued() {
        uint32_t idle = 0;
        while (queued.empty() && !quit && idle < kIdleLeaveMs) {
            if (!changed.wait(mutex, kWaitStepMs)) idle += kWaitStepMs;
        }
        if (queued.empty()) return nullptr;
        Piece* piece = queued.back();
        queued.pop_back();
        return piece;
    }
};

uint32_t helperBody(void* argument) {
    Shared* shared = static_cast<Shared*>(argument);
    for (;;) {
        Piece* piece;
        {
            platform::MutexLock lock(shared->mutex);
            piece = shared->nextQueued();
            if (piece == nullptr) {
                --shared->helpersIn;
                break;
            }
            ++shared->checking;
        }
        shared->check(*piece);
        platform::MutexLock lock(shared->mutex);
        --shared->checking;
        shared->spare.push_back(piece);
        shared->changed.wakeAll();
    }
    shared->release();
    return 0;
}

// Reads the next probes, from first on, into piece: as many as fit in
// kPieceBytes, and any that overlap them, since the file is only read
// forward. at is the file's position, moved past what was read. Files of
// 2 GiB and more cannot be sought with the 32-bit fseek of the Windows
// build, so a gap is read through. Returns the probe after the piece's, or
// 0 when the file cannot give the bytes.
std::size_t readPiece(const Shared& shared, std::FILE* basis, uint64_t& at, std::size_t first, Piece* piece) {
    const std::vector<BlockProbe>& probes = shared.probes;
    const uint64_t start = probes[first].pos;
    uint64_t end = start + BlockLength(shared.sums, probes[first].block);
    std::size_t next = first + 1;
    for (; next < probes.size(); ++next) {
        const uint64_t probeEnd = probes[next].pos + BlockLength(shared.sums, probes[next].block);
        if (probes[next].pos >= end && probeEnd - start > kPieceBytes) break;
        end = std::max(end, probeEnd);
    }
    piece->start = start;
    piece->firstProbe = first;
    piece->probeCount = next - first;
    for (uint64_t gap = start - at; gap > 0;) {
        piece->bytes.resize(static_cast<std::size_t>(std::min<uint64_t>(gap, kPieceBytes)));
        if (std::fread(piece->bytes.data(), 1, piece->bytes.size(), basis) != piece->bytes.size()) return 0;
        gap -= piece->bytes.size();
    }
    piece->bytes.resize(static_cast<std::size_t>(end - start));
    if (std::fread(piece->bytes.data(), 1, piece->bytes.size(), basis) != piece->bytes.size()) return 0;
    at = end;
    return next;
}

}  // namespace

std::vector<BlockProbe> InPlaceProbes(const BlockSums& sums, uint64_t basisSize) {
    std::vector<BlockProbe> probes;
    const uint32_t blocks = sums.blockCount();
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint64_t pos = static_cast<uint64_t>(i) * sums.blockSize;
        if (pos + BlockLength(sums, i) <= basisSize) probes.push_back({pos, i});
    }
    if (blocks > 0) {
        const uint32_t last = blocks - 1;
        const uint32_t length = BlockLength(sums, last);
        if (length < sums.blockSize && length <= basisSize) probes.push_back({basisSize - length, last});
    }
    std::stable_sort(probes.begin(), probes.end(),
                     [](const BlockProbe& x, const BlockProbe& y) { return x.pos < y.pos; });
    return probes;
}

bool CheckProbes(const BlockSums& sums, std::FILE* basis, std::vector<BlockProbe> probes,
                 std::vector<uint64_t>& source, ProbeCheck check) {
    if (probes.empty()) return true;
    std::rewind(basis);
    const uint64_t span = probes.back().pos + BlockLength(sums, probes.back().block) - probes.front().pos;
    Shared* shared = new Shared(sums, std::move(probes), check);
    std::vector<platform::ThreadHandle> helpers;
    // One piece is the caller's to check: helpers would only wait.
    const bool onePiece = span <= kPieceBytes;
    for (std::size_t i = 0; i < kHelpers && !onePiece; ++i) {
        shared->holders.fetch_add(1, std::memory_order_relaxed);
        {
            platform::MutexLock lock(shared->mutex);
            ++shared->helpersIn;
        }
        platform::ThreadHandle helper = platform::startThreadWith(helperBody, shared);
        if (helper != nullptr) {
            helpers.push_back(helper);
        } else {
            platform::MutexLock lock(shared->mutex);
            --shared->helpersIn;
            shared->holders.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    bool read = true;
    uint64_t at = 0;
    for (std::size_t next = 0; next < shared->probes.size();) {
        Piece* piece;
        {
            platform::MutexLock lock(shared->mutex);
            if (shared->spare.empty()) {
                piece = new Piece;
            } else {
                piece = shared->spare.back();
                shared->spare.pop_back();
            }
        }
        next = readPiece(*shared, basis, at, next, piece);
        if (next == 0) {
            read = false;
            delete piece;
            break;
        }
        // A piece goes to the helpers while they keep up; when they do not,
        // the caller checks it, so no more pieces wait than there are helpers.
        bool handed = false;
        {
            platform::MutexLock lock(shared->mutex);
            if (shared->queued.size() < shared->helpersIn) {
                shared->queued.push_back(piece);
                shared->changed.wakeAll();
                handed = true;
            }
        }
        if (!handed) {
            shared->check(*piece);
            platform::MutexLock lock(shared->mutex);
            shared->spare.push_back(piece);
        }
    }

    // What is still queued the caller checks itself, then it waits for the
    // pieces in the helpers' hands.
    {
        platform::MutexLock lock(shared->mutex);
        shared->quit = true;
        shared->changed.wakeAll();
        for (;;) {
            if (!shared->queued.empty()) {
                Piece* piece = shared->queued.back();
                shared->queued.pop_back();
                shared->mutex.unlock();
                if (read) shared->check(*piece);
                shared->mutex.lock();
                shared->spare.push_back(piece);
            } else if (shared->checking > 0) {
                shared->changed.wait(shared->mutex, kWaitStepMs);
            } else {
                break;
            }
        }
    }
    for (platform::ThreadHandle helper : helpers) {
        platform::waitForThread(helper, 0xFFFFFFFFu);
        platform::releaseThread(helper);
    }
    if (read) {
        for (std::size_t k = 0; k < shared->probes.size(); ++k) {
            const BlockProbe& probe = shared->probes[k];
            if (shared->matched[k] && source[probe.block] == kNoSource) source[probe.block] = probe.pos;
        }
    }
    shared->release();
    return read;
}
