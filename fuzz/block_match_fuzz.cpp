// A block-sum table and an old file from the input: whatever table parses,
// the plan, by both sums or by weak ones alone, must copy only from within
// the old file and write every byte of the new file exactly once, in order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/block_match.h"
#include "files/block_sums.h"
#include "fuzz_support.h"

// Input: the table's length (2 bytes, little-endian), the table, then the
// old file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::size_t tableSize = data[0] | (static_cast<std::size_t>(data[1]) << 8);
    if (tableSize > size - 2) return 0;
    BlockSums sums;
    if (!ParseBlockSums(data + 2, tableSize, &sums)) return 0;
    fuzz::require(sums.weak.size() * sums.strongBytes == sums.strong.size());

    const uint8_t* old = data + 2 + tableSize;
    const std::size_t oldSize = size - 2 - tableSize;
    std::vector<uint8_t> oldBytes(old, old + oldSize);
    // A plan by weak sums alone may copy other bytes, but never from outside
    // the old file nor anything but the new file's stretches.
    for (const ProbeCheck check : {ProbeCheck::Strong, ProbeCheck::Weak}) {
        // fmemopen refuses an empty buffer; an empty file does as well.
        std::FILE* basis = oldSize > 0 ? fmemopen(oldBytes.data(), oldSize, "rb") : std::tmpfile();
        fuzz::require(basis != nullptr);
        std::vector<PatchStep> steps;
        const bool planned = PlanPatch(sums, basis, oldSize, &steps, check);
        std::fclose(basis);
        fuzz::require(planned);

        uint64_t written = 0;
        uint64_t fetched = 0;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const PatchStep& step = steps[i];
            fuzz::require(step.length > 0 && step.at == written);
            if (step.copy) fuzz::require(step.from + step.length <= oldSize);
            else fetched += step.length;
            if (i > 0) fuzz::require(steps[i - 1].copy != step.copy || step.copy);
            written += step.length;
        }
        fuzz::require(written == sums.fileSize);
        fuzz::require(fetched == FetchedBytes(steps));
    }
    return 0;
}
