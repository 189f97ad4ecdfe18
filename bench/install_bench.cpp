// The install stage's own costs: the decision step over two full lists, and
// the mirror install of many staged files beside `cp -r` of the same tree.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "files/md5.h"
#include "files/mirror_tree.h"
#include "log/update_log.h"
#include "run/run_state.h"
#include "worker/decide_downloads.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRecords = 4399;

void fillRecord(UpdateListEntry* entry, int i, int version) {
    std::memset(static_cast<void*>(entry), 0, sizeof *entry);
    std::snprintf(entry->path, sizeof entry->path, "/data/dir%02d/file%05d.dat", i % 50, i);
    std::snprintf(entry->md5, sizeof entry->md5, "%08x%08x%08x%08x", i, version, i * 7, 12345);
    entry->needsDownload = true;
}

bool neverStop() { return false; }

// Every tenth record changed, the rest the same as installed.
void fillLists() {
    resetRunState();
    for (int i = 0; i < kRecords; ++i) {
        fillRecord(&g_RunState.installedList[i], i, 1);
        fillRecord(&g_RunState.newList[i], i, i % 10 == 0 ? 2 : 1);
    }
    g_RunState.installedCount = kRecords;
    g_RunState.newCount = kRecords;
}

void BM_DecisionHashed(benchmark::State& state) {
    fillLists();
    for (auto _ : state) {
        for (int i = 0; i < kRecords; ++i) g_RunState.newList[i].needsDownload = true;
        matchInstalledRecords(g_RunState.installedList, kRecords, g_RunState.newList, kRecords,
                              neverStop);
        benchmark::DoNotOptimize(g_RunState.newList[0].needsDownload);
    }
}
BENCHMARK(BM_DecisionHashed)->Unit(benchmark::kMillisecond);

// The walk over every pair, as the list comparison was first written.
void BM_DecisionPairwise(benchmark::State& state) {
    fillLists();
    for (auto _ : state) {
        for (int i = 0; i < kRecords; ++i) {
            UpdateListEntry& entry = g_RunState.newList[i];
            entry.needsDownload = true;
            for (int j = 0; j < kRecords; ++j) {
                const UpdateListEntry& old = g_RunState.installedList[j];
                if (std::strcmp(old.md5, entry.md5) == 0 && std::strcmp(old.path, entry.path) == 0) {
                    entry.needsDownload = false;
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(g_RunState.newList[0].needsDownload);
    }
}
BENCHMARK(BM_DecisionPairwise)->Unit(benchmark::kMillisecond);

// The staged tree of the install benchmarks: kRecords files of 45000 bytes
// under root/src, written afresh before each timed pass (the install moves
// them away), with root/dst removed.
void writeStagedTree(const fs::path& root, const std::string& content) {
    fs::remove_all(root / "dst");
    fs::remove_all(root / "src");
    for (int i = 0; i < kRecords; ++i) {
        fs::path file = root / "src" / (g_RunState.newList[i].path + 1);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
}

fs::path benchRoot() {
    return fs::temp_directory_path() / ("install_bench_" + std::to_string(std::random_device{}()));
}

// state.range(0): 1 when the files count as checked after their transfer
// (no second digest), 0 when each is digested at the install.
void BM_MirrorInstall(benchmark::State& state) {
    fs::path root = benchRoot();
    fs::create_directories(root);
    g_UpdateLog.open((root / "log.txt").c_str());
    resetRunState();
    std::string content(45000, 'x');
    uint8_t digest[16];
    char digestText[33];
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    Md5Final(digest, &context);
    Md5ToHex(digest, digestText);
    for (int i = 0; i < kRecords; ++i) {
        fillRecord(&g_RunState.newList[i], i, 1);
        std::memcpy(g_RunState.newList[i].md5, digestText, sizeof digestText);
    }
    g_RunState.newCount = kRecords;
    std::string source = (root / "src").string() + "\\";
    std::string destination = (root / "dst").string() + "\\";

    for (auto _ : state) {
        state.PauseTiming();
        writeStagedTree(root, content);
        g_RunState.installOk = 1;
        state.ResumeTiming();

        MirrorPlan plan;
        if (state.range(0) == 1) {
            for (auto& mark : plan.marks) mark = kMarkVerified;
        }
        MirrorTree(destination.c_str(), source.c_str(), &plan);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
    fs::remove_all(root);
}
BENCHMARK(BM_MirrorInstall)->Arg(1)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The yardstick of the install: `cp -r` of the same tree, a whole process.
void BM_CopyTreeWithCp(benchmark::State& state) {
    fs::path root = benchRoot();
    fs::create_directories(root);
    resetRunState();
    for (int i = 0; i < kRecords; ++i) fillRecord(&g_RunState.newList[i], i, 1);
    const std::string content(45000, 'x');
    const std::string command = "cp -r '" + (root / "src").string() + "' '" + (root / "dst").string() + "'";
    for (auto _ : state) {
        state.PauseTiming();
        writeStagedTree(root, content);
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) state.SkipWithError("cp -r failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
    fs::remove_all(root);
}
BENCHMARK(BM_CopyTreeWithCp)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
