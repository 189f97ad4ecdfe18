#include "files/block_match.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "files/block_probes.h"
#include "files/md5.h"

namespace {

constexpr std::size_t kReadPiece = 4u << 20;
// Shifts a plan tries every missing block at: each costs a read of the old
// file, and an old file with more distinct shifts than this is rolled over.
constexpr int kMostShifts = 8;

// The old file read forward in large pieces: the bytes [pos, pos + length)
// stay in memory while pos only grows. Files of 2 GiB and more cannot be
// sought with the 32-bit fseek of the Windows build, so it never seeks.
class ForwardReader {
public:
    ForwardReader(std::FILE* file, uint64_t size) : file_(file), size_(size) {}

    bool restart() {
        std::rewind(file_);
        start_ = 0;
        buffer_.clear();
        return true;
    }
    // A pointer to the bytes [pos, pos + length), length at most the window
    // the reader was used with; null when the file cannot give them.
    const uint8_t* at(uint64_t pos, uint32_t length) {
        if (pos < start_ || pos + length > size_) return nullptr;
        if (pos + length <= start_ + buffer_.size()) return buffer_.data() + (pos - start_);
        const uint64_t loaded = start_ + buffer_.size();
        if (pos >= loaded) {
            // Nothing loaded is wanted any more: read past the gap.
            buffer_.clear();
            std::vector<uint8_t> skip(static_cast<std::size_t>(std::min<uint64_t>(kReadPiece, pos - loaded)));
            for (uint64_t left = pos - loaded; left > 0;) {
                const std::size_t piece = static_cast<std::size_t>(std::min<uint64_t>(left, skip.size()));
                if (std::fread(skip.data(), 1, piece, file_) != piece) return nullptr;
                left -= piece;
            }
            start_ = pos;
        } else {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos - start_));
            start_ = pos;
        }
        const uint64_t end = start_ + buffer_.size();
        const std::size_t want = static_cast<std::size_t>(
            std::min<uint64_t>(size_ - end, std::max<uint64_t>(kReadPiece, pos + length - end)));
        const std::size_t had = buffer_.size();
        buffer_.resize(had + want);
        buffer_.resize(had + std::fread(buffer_.data() + had, 1, want, file_));
        if (pos + length > start_ + buffer_.size()) return nullptr;
        return buffer_.data();
    }

private:
    std::FILE* file_;
    uint64_t size_;
    uint64_t start_ = 0;
    std::vector<uint8_t> buffer_;
};

// Bytes inserted or cut before a run of blocks shift them all alike. Once
// the roll has found one block away from its place, every block still
// missing is tried at the same shift at once, on the cores CheckProbes
// uses, instead of one confirmed window at a time on this thread. Sets the
// sources found, drops them from missing and adds their positions to
// taken, which stays sorted. The file is read from its start again.
bool tryShift(const BlockSums& sums, std::FILE* basis, uint64_t basisSize, int64_t shift, ProbeCheck check,
              std::unordered_map<uint32_t, std::vector<uint32_t>>& missing, std::vector<uint64_t>& taken,
              std::vector<uint64_t>& source) {
    std::vector<BlockProbe> probes;
    for (const auto& entry : missing) {
        for (uint32_t block : entry.second) {
            const int64_t pos = static_cast<int64_t>(block) * sums.blockSize + shift;
            if (pos >= 0 && static_cast<uint64_t>(pos) + sums.blockSize <= basisSize)
                probes.push_back({static_cast<uint64_t>(pos), block});
        }
    }
    std::sort(probes.begin(), probes.end(), [](const BlockProbe& x, const BlockProbe& y) { return x.pos < y.pos; });
    if (!CheckProbes(sums, basis, probes, source, check)) return false;
    for (auto entry = missing.begin(); entry != missing.end();) {
        std::vector<uint32_t>& blocks = entry->second;
        blocks.erase(std::remove_if(blocks.begin(), blocks.end(), [&](uint32_t block) {
            if (source[block] == kNoSource) return false;
            taken.push_back(source[block]);
            return true;
        }), blocks.end());
        entry = blocks.empty() ? missing.erase(entry) : std::next(entry);
    }
    std::sort(taken.begin(), taken.end());
    return true;
}

// The rolling pass, for full-size blocks still without a source: every
// window of the old file is looked up by its weak sum; a confirmed window
// gives all missing blocks of that content, and the roll starts afresh
// behind it.
bool matchRolling(const BlockSums& sums, std::FILE* basis, ForwardReader& reader, uint64_t basisSize,
                  ProbeCheck check, std::vector<uint64_t>& source) {
    const uint32_t window = sums.blockSize;
    if (basisSize < window) return true;
    std::unordered_map<uint32_t, std::vector<uint32_t>> missing;
    for (uint32_t i = 0; i < sums.blockCount(); ++i)
        if (source[i] == kNoSource && BlockLength(sums, i) == window) missing[sums.weak[i]].push_back(i);
    if (missing.empty()) return true;
    // A first filter on 2^20 bits, so that most windows cost no map lookup.
    std::vector<uint8_t> seen(1u << 17, 0);
    auto bit = [](uint32_t weak) { return (weak ^ (weak >> 12)) & 0xFFFFFu; };
    for (const auto& entry : missing) seen[bit(entry.first) >> 3] |= static_cast<uint8_t>(1u << (bit(entry.first) & 7));

    if (!reader.restart()) return false;
    uint64_t pos = 0;
    RollingSum sum;
    bool fresh = true;
    // Where blocks found at a shift lie, sorted, and the first not behind pos.
    std::vector<uint64_t> taken;
    std::size_t nextTaken = 0;
    std::vector<int64_t> shiftsTried;
    while (pos + window <= basisSize && !missing.empty()) {
        // A block that stood where it was, or was found at a shift, is taken
        // already: the roll skips it rather than look for other blocks
        // inside it, so an old file that mostly matched costs little more
        // than the passes that found them.
        const uint64_t aligned = pos / window;
        while (nextTaken < taken.size() && taken[nextTaken] < pos) ++nextTaken;
        if ((pos % window == 0 && aligned < source.size() && source[aligned] == pos) ||
            (nextTaken < taken.size() && taken[nextTaken] == pos)) {
            pos += window;
            fresh = true;
            continue;
        }
        // One byte past the window, read with it, so that the roll never
        // asks the reader to step back.
        const uint32_t span = pos + window < basisSize ? window + 1 : window;
        const uint8_t* bytes = reader.at(pos, span);
        if (bytes == nullptr) return false;
        if (fresh) {
            sum.start(bytes, window);
            fresh = false;
        }
        const uint32_t weak = sum.value();
        const uint32_t key = bit(weak);
        if (seen[key >> 3] & (1u << (key & 7))) {
            auto found = missing.find(weak);
            if (found != missing.end()) {
                uint8_t digest[16];
                Md5Context context;
                Md5Init(&context);
                Md5Update(&context, bytes, window);
                Md5Final(digest, &context);
                // Blocks of one weak sum may differ in their strong sums:
                // only those that match this window take it.
                std::vector<uint32_t>& candidates = found->second;
                int64_t shift = 0;
                const std::size_t before = candidates.size();
                candidates.erase(std::remove_if(candidates.begin(), candidates.end(), [&](uint32_t block) {
                    if (!StrongEquals(sums, block, digest)) return false;
                    source[block] = pos;
                    shift = static_cast<int64_t>(pos) - static_cast<int64_t>(block) * window;
                    return true;
                }), candidates.end());
                const bool matched = candidates.size() != before;
                if (candidates.empty()) missing.erase(found);
                if (matched) {
                    if (shift != 0 && !missing.empty() && shiftsTried.size() < kMostShifts &&
                        std::find(shiftsTried.begin(), shiftsTried.end(), shift) == shiftsTried.end()) {
                        shiftsTried.push_back(shift);
                        if (!tryShift(sums, basis, basisSize, shift, check, missing, taken, source) || !reader.restart())
                            return false;
                        nextTaken = 0;
                    }
                    pos += window;
                    fresh = true;
                    continue;
                }
            }
        }
        if (pos + window >= basisSize) break;
        sum.roll(bytes[0], bytes[window]);
        ++pos;
    }
    return true;
}

void append(std::vector<PatchStep>* steps, const PatchStep& step) {
    if (!steps->empty()) {
        PatchStep& last = steps->back();
        const bool adjacent = last.at + last.length == step.at && last.copy == step.copy &&
                              (!step.copy || last.from + last.length == step.from);
        if (adjacent && static_cast<uint64_t>(last.length) + step.length <= 0xFFFFFFFFu) {
            last.length += step.length;
            return;
        }
    }
    steps->push_back(step);
}

}  // namespace

bool PlanPatch(const BlockSums& sums, std::FILE* basis, uint64_t basisSize, std::vector<PatchStep>* steps,
               ProbeCheck check) {
    steps->clear();
    const uint32_t blocks = sums.blockCount();
    std::vector<uint64_t> source(blocks, kNoSource);
    if (!CheckProbes(sums, basis, InPlaceProbes(sums, basisSize), source, check)) return false;
    ForwardReader reader(basis, basisSize);
    if (!matchRolling(sums, basis, reader, basisSize, check, source)) return false;
    for (uint32_t i = 0; i < blocks; ++i) {
        PatchStep step;
        step.at = i * sums.blockSize;
        step.length = BlockLength(sums, i);
        step.copy = source[i] != kNoSource;
        if (step.copy) step.from = source[i];
        append(steps, step);
    }
    return true;
}

uint64_t FetchedBytes(const std::vector<PatchStep>& steps) {
    uint64_t bytes = 0;
    for (const PatchStep& step : steps)
        if (!step.copy) bytes += step.length;
    return bytes;
}
