// The platform SHA-256 (libcrypto here) over memory and over files from the
// page cache, read the way the client reads what it writes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_files.h"
#include "platform/crypto.h"

namespace {

void BM_Sha256Memory(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    uint8_t digest[platform::kSha256Bytes];
    for (auto _ : state) {
        benchmark::DoNotOptimize(platform::sha256(data.data(), data.size(), digest));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256Memory)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

void BM_Sha256File(benchmark::State& state) {
    const std::string& path = SharedFile(static_cast<std::size_t>(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("no scratch file");
        return;
    }
    std::vector<uint8_t> block(64 << 10);
    uint8_t digest[platform::kSha256Bytes];
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        std::setvbuf(file, nullptr, _IONBF, 0);
        platform::Sha256 hash;
        std::size_t got;
        while ((got = std::fread(block.data(), 1, block.size(), file)) != 0) hash.update(block.data(), got);
        std::fclose(file);
        benchmark::DoNotOptimize(hash.finish(digest));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256File)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
