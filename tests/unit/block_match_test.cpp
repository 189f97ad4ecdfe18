#include "files/block_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "block_sums_cases.h"

namespace {

std::vector<uint8_t> randomBytes(std::mt19937& random, std::size_t count) {
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

}  // namespace

TEST(BlockMatch, StepsRebuildTheNewFileAndFetchAboutWhatChanged) {
    struct Case {
        const char* name;
        std::size_t oldSize;
        // Turns the old file into the new one.
        void (*change)(std::vector<uint8_t>& file, std::mt19937& random);
        uint64_t mostFetched;
    };
    constexpr uint32_t kBlock = 1024;
    const Case cases[] = {
        {"middle changed", 300000, [](std::vector<uint8_t>& f, std::mt19937& r) {
             auto fresh = randomBytes(r, 20000);
             std::copy(fresh.begin(), fresh.end(), f.begin() + 140000);
         }, 20000 + 2 * kBlock},
        {"random blocks", 300000, [](std::vector<uint8_t>& f, std::mt19937& r) {
             for (int i = 0; i < 5; ++i) f[r() % f.size()] ^= 0x5A;
         }, 5 * kBlock},
        {"inserted at start", 300000, [](std::vector<uint8_t>& f, std::mt19937& r) {
             auto fresh = randomBytes(r, 3000);
             f.insert(f.begin(), fresh.begin(), fresh.end());
         }, 3000 + kBlock},
        {"appended, short last block", 300000, [](std::vector<uint8_t>& f, std::mt19937& r) {
             auto fresh = randomBytes(r, 700);
             f.insert(f.begin() + 1000, fresh.begin(), fresh.end());
         }, 700 + 2 * kBlock},
        {"old file empty", 0, [](std::vector<uint8_t>& f, std::mt19937& r) { f = randomBytes(r, 5000); }, 5000},
        {"old file shorter than a block", 100, [](std::vector<uint8_t>& f, std::mt19937& r) {
             auto fresh = randomBytes(r, 4000);
             f.insert(f.end(), fresh.begin(), fresh.end());
         }, 4100},
        {"old file longer", 300000, [](std::vector<uint8_t>& f, std::mt19937&) { f.resize(150000); }, 0},
        {"new file empty", 300000, [](std::vector<uint8_t>& f, std::mt19937&) { f.clear(); }, 0},
    };
    for (const Case& c : cases) {
        std::mt19937 random(11);
        const std::vector<uint8_t> old = randomBytes(random, c.oldSize);
        std::vector<uint8_t> fresh = old;
        c.change(fresh, random);
        std::FILE* basis = std::tmpfile();
        ASSERT_NE(nullptr, basis);
        ASSERT_EQ(old.size(), std::fwrite(old.data(), 1, old.size(), basis));
        std::vector<PatchStep> steps;
        ASSERT_TRUE(PlanPatch(sumsOf(fresh, kBlock), basis, old.size(), &steps)) << c.name;
        std::fclose(basis);

        std::vector<uint8_t> rebuilt;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const PatchStep& step = steps[i];
            ASSERT_EQ(rebuilt.size(), step.at) << c.name;
            if (i > 0) {
                const PatchStep& before = steps[i - 1];
                const bool mergeable = before.copy == step.copy && (!step.copy || before.from + before.length == step.from);
                EXPECT_FALSE(mergeable) << c.name << ": step " << i << " not merged";
            }
            if (step.copy) {
                ASSERT_LE(step.from + step.length, old.size()) << c.name;
                rebuilt.insert(rebuilt.end(), old.begin() + step.from, old.begin() + step.from + step.length);
            } else {
                rebuilt.insert(rebuilt.end(), fresh.begin() + step.at, fresh.begin() + step.at + step.length);
            }
        }
        EXPECT_TRUE(rebuilt == fresh) << c.name;
        EXPECT_LE(FetchedBytes(steps), c.mostFetched) << c.name;
    }
}
