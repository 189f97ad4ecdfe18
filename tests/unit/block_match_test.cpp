#include "files/block_match.h"
#include "files/block_probes.h"

#include <gtest/gtest.h>

#include "block_sums_cases.h"

TEST(BlockMatch, StepsRebuildTheNewFileAndFetchAboutWhatChanged) {
    // The new file: the old one with `erase` bytes at `at` replaced by
    // `insert` random ones, then `flips` random bytes changed.
    struct Case { const char* name; std::size_t oldSize, at, erase, insert; int flips; uint64_t mostFetched; };
    constexpr uint32_t kBlock = 1024;
    const Case cases[] = {
        {"middle changed", 300000, 140000, 20000, 20000, 0, 20000 + 2 * kBlock},
        {"random blocks", 300000, 0, 0, 0, 5, 5 * kBlock},
        {"inserted at start", 300000, 0, 0, 3000, 0, 3000 + kBlock},
        {"inserted, short last block", 300000, 1000, 0, 700, 0, 700 + 2 * kBlock},
        {"inserted, old file of several pieces", 5000000, 2000, 0, 3000, 3, 3000 + 5 * kBlock},
        {"old file empty", 0, 0, 0, 5000, 0, 5000},
        {"old file shorter than a block", 100, 100, 0, 4000, 0, 4100},
        {"old file longer", 300000, 150000, 150000, 0, 0, 0},
        {"new file empty", 300000, 0, 300000, 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::mt19937 random(11);
        const std::vector<uint8_t> old = randomBytes(random, c.oldSize);
        std::vector<uint8_t> fresh = old;
        const std::vector<uint8_t> inserted = randomBytes(random, c.insert);
        fresh.erase(fresh.begin() + c.at, fresh.begin() + c.at + c.erase);
        fresh.insert(fresh.begin() + c.at, inserted.begin(), inserted.end());
        for (int i = 0; i < c.flips; ++i) fresh[random() % fresh.size()] ^= 0x5A;
        std::FILE* basis = std::tmpfile();
        ASSERT_NE(nullptr, basis);
        // An empty vector's data() may be null, which fwrite must not be given.
        ASSERT_EQ(old.size(), old.empty() ? 0 : std::fwrite(old.data(), 1, old.size(), basis));
        std::vector<PatchStep> steps;
        ASSERT_TRUE(PlanPatch(sumsOf(fresh, kBlock), basis, old.size(), &steps)) << c.name;
        std::fclose(basis);

        std::vector<uint8_t> rebuilt;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const PatchStep& step = steps[i];
            ASSERT_EQ(rebuilt.size(), step.at) << c.name;
            const PatchStep* before = i > 0 ? &steps[i - 1] : nullptr;
            EXPECT_FALSE(before && before->copy == step.copy && (!step.copy || before->from + before->length == step.from))
                << c.name << ": step " << i << " not merged";
            const std::vector<uint8_t>& source = step.copy ? old : fresh;
            const std::size_t from = step.copy ? step.from : step.at;
            ASSERT_LE(from + step.length, source.size()) << c.name;
            rebuilt.insert(rebuilt.end(), source.begin() + from, source.begin() + from + step.length);
        }
        EXPECT_TRUE(rebuilt == fresh) << c.name;
        EXPECT_LE(FetchedBytes(steps), c.mostFetched) << c.name;
    }
}

TEST(BlockMatch, EveryPieceOfTheOldFileIsCheckedWhereItStood) {
    // Several pieces, so helpers check some: each block must come out found
    // in place exactly when it is unchanged. The rolling pass would hide a
    // piece left unchecked, so the pass is asked alone.
    constexpr uint32_t kBlock = 1024;
    std::mt19937 random(5);
    const std::vector<uint8_t> old = randomBytes(random, 9000000 + 700);
    std::vector<uint8_t> fresh = old;
    std::vector<bool> changed((fresh.size() + kBlock - 1) / kBlock, false);
    for (int i = 0; i < 60; ++i) {
        const std::size_t at = random() % fresh.size();
        fresh[at] ^= 0x5A;
        changed[at / kBlock] = true;
    }
    std::FILE* basis = std::tmpfile();
    ASSERT_NE(nullptr, basis);
    ASSERT_EQ(old.size(), std::fwrite(old.data(), 1, old.size(), basis));
    const BlockSums sums = sumsOf(fresh, kBlock);
    std::vector<uint64_t> source(sums.blockCount(), kNoSource);
    ASSERT_TRUE(CheckProbes(sums, basis, InPlaceProbes(sums, old.size()), source));
    std::fclose(basis);
    for (std::size_t i = 0; i < source.size(); ++i)
        ASSERT_EQ(changed[i] ? kNoSource : i * kBlock, source[i]) << "block " << i;
}
