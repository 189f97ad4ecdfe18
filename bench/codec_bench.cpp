// Inflating deflated chunk replies against a faster codec, over the same
// files cut into the same pieces: zlib's uncompress of streams made at the
// level make-package uses, and zstd's decompression of streams made at a fast
// and at a high level (make-package packs ahead of time, so a high level
// costs the player nothing). Each benchmark reports the raw bytes per second
// and packed_ratio, the packed bytes over the raw ones.
//
// usage: codec_bench DIR [benchmark flags]   (bench/codec_bench.sh makes DIR)
#include <benchmark/benchmark.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

std::string g_dir;

struct Piece {
    std::vector<uint8_t> packed;
    std::size_t rawBytes = 0;
};

struct Corpus {
    std::vector<Piece> pieces;
    std::size_t rawBytes = 0;
    std::size_t packedBytes = 0;
    std::size_t largestPiece = 0;
};

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    uint8_t block[1 << 16];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
    std::fclose(file);
    return bytes;
}

// Every regular file under dir, in no particular order.
void listFiles(const std::string& dir, std::vector<std::string>* out) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) return;
    while (dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        if (entry->d_type == DT_DIR) {
            listFiles(path, out);
        } else if (entry->d_type == DT_REG) {
            out->push_back(path);
        }
    }
    closedir(handle);
}

enum Codec { kZlib6 = 0, kZstd3 = 1, kZstd19 = 2 };

// A piece that does not shrink travels raw, as the server sends it.
bool pack(Codec codec, const uint8_t* raw, std::size_t rawBytes, std::vector<uint8_t>* out) {
    if (codec == kZlib6) {
        uLongf bytes = compressBound(static_cast<uLong>(rawBytes));
        out->resize(bytes);
        if (compress2(out->data(), &bytes, raw, static_cast<uLong>(rawBytes), 6) != Z_OK) return false;
        out->resize(bytes);
    } else {
        out->resize(ZSTD_compressBound(rawBytes));
        const std::size_t bytes =
            ZSTD_compress(out->data(), out->size(), raw, rawBytes, codec == kZstd3 ? 3 : 19);
        if (ZSTD_isError(bytes)) return false;
        out->resize(bytes);
    }
    return out->size() < rawBytes;
}

const Corpus& corpusFor(Codec codec, std::size_t pieceBytes) {
    static std::vector<std::pair<std::pair<int, std::size_t>, Corpus>> made;
    for (const auto& entry : made) {
        if (entry.first.first == codec && entry.first.second == pieceBytes) return entry.second;
    }
    Corpus corpus;
    std::vector<std::string> paths;
    listFiles(g_dir, &paths);
    for (const std::string& path : paths) {
        const std::vector<uint8_t> bytes = readFile(path);
        for (std::size_t at = 0; at < bytes.size(); at += pieceBytes) {
            const std::size_t raw = bytes.size() - at < pieceBytes ? bytes.size() - at : pieceBytes;
            Piece piece;
            piece.rawBytes = raw;
            if (!pack(codec, bytes.data() + at, raw, &piece.packed)) piece.packed.clear();
            corpus.rawBytes += raw;
            corpus.packedBytes += piece.packed.empty() ? raw : piece.packed.size();
            if (raw > corpus.largestPiece) corpus.largestPiece = raw;
            corpus.pieces.push_back(std::move(piece));
        }
    }
    made.emplace_back(std::make_pair(static_cast<int>(codec), pieceBytes), std::move(corpus));
    return made.back().second;
}

void BM_Unpack(benchmark::State& state) {
    const Codec codec = static_cast<Codec>(state.range(0));
    const Corpus& corpus = corpusFor(codec, static_cast<std::size_t>(state.range(1)));
    if (corpus.rawBytes == 0) {
        state.SkipWithError("no files in DIR");
        return;
    }
    std::vector<uint8_t> out(corpus.largestPiece);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    bool wrong = false;
    for (auto _ : state) {
        for (const Piece& piece : corpus.pieces) {
            if (piece.packed.empty()) continue;
            std::size_t got;
            if (codec == kZlib6) {
                uLongf bytes = static_cast<uLongf>(out.size());
                got = uncompress(out.data(), &bytes, piece.packed.data(), static_cast<uLong>(piece.packed.size())) ==
                              Z_OK
                          ? bytes
                          : 0;
            } else {
                got = ZSTD_decompressDCtx(context, out.data(), out.size(), piece.packed.data(), piece.packed.size());
            }
            wrong = wrong || got != piece.rawBytes;
            benchmark::DoNotOptimize(out.data());
        }
    }
    ZSTD_freeDCtx(context);
    if (wrong) state.SkipWithError("a piece did not unpack to its size");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(corpus.rawBytes));
    state.counters["packed_ratio"] = static_cast<double>(corpus.packedBytes) / static_cast<double>(corpus.rawBytes);
}
// Pieces of the largest fast-mode chunk, the size make-package stores; a
// 16-bit buffsize allows no larger.
BENCHMARK(BM_Unpack)
    ->ArgNames({"codec", "piece"})
    ->ArgsProduct({{kZlib6, kZstd3, kZstd19}, {65534}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: codec_bench DIR [benchmark flags]\n");
        return 2;
    }
    g_dir = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
