#include "files/md5.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

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

// Whole files go through the 1024-byte read loop; this shows what that costs
// next to digesting the same bytes from memory.
void BM_Md5File(benchmark::State& state) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("md5_bench_" + std::to_string(std::random_device{}()) + ".bin"))
                           .string();
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            state.SkipWithError("no temp file");
            return;
        }
        std::vector<char> data(static_cast<std::size_t>(state.range(0)), 'x');
        std::fwrite(data.data(), 1, data.size(), file);
        std::fclose(file);
    }
    uint8_t digest[16];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Md5File(path.c_str(), digest));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    std::remove(path.c_str());
}
BENCHMARK(BM_Md5File)->Arg(1 << 20)->Arg(16 << 20);

}  // namespace

BENCHMARK_MAIN();
