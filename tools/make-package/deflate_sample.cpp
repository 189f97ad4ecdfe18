#include "deflate_sample.h"

#include <cstdio>
#include <vector>
#include <zlib.h>

#include "deflated_chunk.h"
#include "wire_protocol.h"

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

bool WriteDeflatedPieces(const std::string& path, std::size_t pieceBytes, const std::string& out)
{
    std::FILE* in = std::fopen(path.c_str(), "rb");
    std::FILE* file = std::fopen(out.c_str(), "wb");
    bool ok = in != nullptr && file != nullptr && std::fseek(in, 0, SEEK_END) == 0;
    const long long size = ok ? std::ftell(in) : -1;
    const long long pieces = size > 0 ? (size + static_cast<long long>(pieceBytes) - 1) / pieceBytes : 0;
    std::vector<uint8_t> index(kStoredHeadBytes + kStoredEntryBytes * static_cast<std::size_t>(pieces), 0);
    wire::WriteLe32(index.data(), static_cast<uint32_t>(pieceBytes));
    wire::WriteLe32(index.data() + 4, static_cast<uint32_t>(pieces));
    ok = ok && size >= 0 && std::fseek(in, 0, SEEK_SET) == 0 &&
         std::fwrite(index.data(), 1, index.size(), file) == index.size();
    std::vector<uint8_t> raw(pieceBytes), reply(wire::kChunkHeaderBytes + pieceBytes);
    long long at = static_cast<long long>(index.size());
    for (long long i = 0; ok && i < pieces; ++i) {
        const std::size_t got = std::fread(raw.data(), 1, pieceBytes, in);
        ok = got > 0;
        const std::size_t length = ok ? BuildDeflatedReply(raw.data(), got, 0, reply.data()) : 0;
        if (length == 0) continue;
        const std::size_t payload = length - wire::kChunkHeaderBytes;
        uint8_t* entry = index.data() + kStoredHeadBytes + kStoredEntryBytes * static_cast<std::size_t>(i);
        wire::WriteLe32(entry, static_cast<uint32_t>(at));
        wire::WriteLe32(entry + 4, static_cast<uint32_t>(payload));
        ok = std::fwrite(reply.data() + wire::kChunkHeaderBytes, 1, payload, file) == payload;
        at += static_cast<long long>(payload);
    }
    ok = ok && std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(index.data(), 1, index.size(), file) == index.size();
    if (in) std::fclose(in);
    if (file && std::fclose(file) != 0) ok = false;
    return ok;
}
