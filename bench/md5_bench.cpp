#include "files/md5.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_files.h"

namespace {

void BM_Md5Update(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    uint8_t digest[16];
    for (auto _ : state) {
        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, data.data(), data.size());
        Md5Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5Update)->Arg(64)->Arg(1024)->Arg(1 << 20);

// Input that starts one byte into a word: the loads must not care.
void BM_Md5UpdateUnaligned(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<std::size_t>(state.range(0)) + 1, 0x5a);
    uint8_t digest[16];
    for (auto _ : state) {
        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, data.data() + 1, data.size() - 1);
        Md5Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5UpdateUnaligned)->Arg(1 << 20);

// Whole files from the page cache: the read loop and the digest together.
void BM_Md5File(benchmark::State& state) {
    const std::string& path = SharedFile(static_cast<std::size_t>(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("no scratch file");
        return;
    }
    uint8_t digest[16];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Md5File(path.c_str(), digest));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5File)->Arg(1 << 20)->Arg(16 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
