#include "deflate_sample.h"

#include <cstdio>
#include <vector>
#include <zlib.h>

namespace {

constexpr long long kPiece = 64 * 1024;
constexpr long long kPieces = 8;

}  // namespace

bool DeflatesWell(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    long long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::vector<Bytef> raw(kPiece);
    std::vector<Bytef> packed(compressBound(kPiece));
    unsigned long long rawTotal = 0, packedTotal = 0;
    const long long pieces = size <= kPiece * kPieces ? (size + kPiece - 1) / kPiece : kPieces;
    for (long long i = 0; i < pieces; ++i) {
        // Evenly spread, so a file with a compressible head and an
        // incompressible body is judged by its body.
        const long long at = size <= kPiece * kPieces ? i * kPiece : (size - kPiece) / (kPieces - 1) * i;
        if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0) break;
        const std::size_t got = std::fread(raw.data(), 1, raw.size(), file);
        uLongf packedBytes = static_cast<uLongf>(packed.size());
        if (got == 0 || compress2(packed.data(), &packedBytes, raw.data(), got, 6) != Z_OK) break;
        rawTotal += got;
        packedTotal += packedBytes;
    }
    std::fclose(file);
    return rawTotal > 0 && packedTotal * 10 <= rawTotal * 9;
}
