// OpenSSL's MD5 over the same bytes as md5_bench.cpp, in the same process:
// the yardstick for our own digest.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_files.h"

namespace {

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

void BM_OpenSslMd5Update(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
        EVP_DigestUpdate(context.get(), data.data(), data.size());
        EVP_DigestFinal_ex(context.get(), digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_OpenSslMd5Update)->Arg(64)->Arg(1024)->Arg(1 << 20);

// The same file, opened and read with stdio in 64 KiB blocks as Md5File does.
void BM_OpenSslMd5File(benchmark::State& state) {
    const std::string& path = SharedFile(static_cast<std::size_t>(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("no scratch file");
        return;
    }
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::vector<unsigned char> block(64 * 1024);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            state.SkipWithError("cannot open the scratch file");
            return;
        }
        std::setvbuf(file, nullptr, _IONBF, 0);
        EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
        std::size_t got;
        while ((got = std::fread(block.data(), 1, block.size(), file)) != 0) {
            EVP_DigestUpdate(context.get(), block.data(), got);
        }
        EVP_DigestFinal_ex(context.get(), digest, &length);
        std::fclose(file);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_OpenSslMd5File)->Arg(1 << 20)->Arg(16 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
