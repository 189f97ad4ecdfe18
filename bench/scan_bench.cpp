// A first run digests every listed file already on disk; md5sum over the same
// files is what that scan should cost. Both are timed in CPU seconds (user and
// system) of the one doing the work, so that other load on a shared machine
// does not tilt the comparison; wall_ms shows the wall time beside it.
#include "files/md5.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_files.h"

extern char** environ;

namespace {

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wallSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double seconds(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) * 1e-6;
}

// What the first run does per record: look for a staged copy (absent here),
// check that the installed copy opens, digest it and compare the text.
void BM_FirstRunScan(benchmark::State& state) {
    const auto& paths = SharedGameTree();
    if (paths.empty()) {
        state.SkipWithError("no scratch tree");
        return;
    }
    std::vector<std::string> staged;
    for (const auto& path : paths) staged.push_back(path + ".staged");
    const bool withOpenChecks = state.range(0) != 0;
    int matches = 0;
    double wall = 0;
    for (auto _ : state) {
        double wallStart = wallSeconds();
        double cpuStart = threadCpuSeconds();
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (withOpenChecks) {
                std::FILE* absent = std::fopen(staged[i].c_str(), "r");
                if (absent != nullptr) std::fclose(absent);
                std::FILE* present = std::fopen(paths[i].c_str(), "r");
                if (present == nullptr) continue;
                std::fclose(present);
            }
            uint8_t digest[16] = {};
            char text[33];
            Md5File(paths[i].c_str(), digest);
            Md5ToHex(digest, text);
            matches += std::strcmp(text, "00000000000000000000000000000000") == 0;
        }
        state.SetIterationTime(threadCpuSeconds() - cpuStart);
        wall += wallSeconds() - wallStart;
    }
    benchmark::DoNotOptimize(matches);
    state.counters["wall_ms"] = 1000 * wall / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kGameTreeBytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * paths.size());
}
BENCHMARK(BM_FirstRunScan)->ArgName("open_checks")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseManualTime();

void BM_Md5sumScan(benchmark::State& state) {
    const auto& paths = SharedGameTree();
    if (paths.empty()) {
        state.SkipWithError("no scratch tree");
        return;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("md5sum"));
    argv.push_back(const_cast<char*>("--"));
    for (const auto& path : paths) argv.push_back(const_cast<char*>(path.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    double wall = 0;
    for (auto _ : state) {
        double wallStart = wallSeconds();
        pid_t child = 0;
        if (posix_spawnp(&child, "md5sum", &actions, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("md5sum cannot be started");
            break;
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("md5sum failed");
            break;
        }
        state.SetIterationTime(seconds(usage.ru_utime) + seconds(usage.ru_stime));
        wall += wallSeconds() - wallStart;
    }
    state.counters["wall_ms"] = 1000 * wall / static_cast<double>(state.iterations());
    posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kGameTreeBytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * paths.size());
}
BENCHMARK(BM_Md5sumScan)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
