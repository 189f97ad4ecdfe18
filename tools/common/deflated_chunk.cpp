#include "deflated_chunk.h"

#include <zlib.h>

#include "wire_protocol.h"

namespace {

constexpr std::size_t kRawCountBytes = 4;
constexpr int kLevel = 6;

}  // namespace

std::size_t BuildDeflatedReply(const uint8_t* raw, std::size_t rawBytes, uint8_t flag, uint8_t* out)
{
    if (rawBytes <= kRawCountBytes) return 0;
    // Room for a stream that makes the reply smaller than the raw one, and no
    // more: zlib gives up (Z_BUF_ERROR) as soon as the stream does not fit.
    uLongf streamBytes = static_cast<uLongf>(rawBytes - kRawCountBytes - 1);
    uint8_t* stream = out + wire::kChunkHeaderBytes + kRawCountBytes;
    if (compress2(stream, &streamBytes, raw, static_cast<uLong>(rawBytes), kLevel) != Z_OK) return 0;
    const std::size_t payload = kRawCountBytes + streamBytes;
    wire::BuildChunkHeader(out, static_cast<uint8_t>(flag | wire::kChunkDeflatedBit), payload);
    wire::WriteLe32(out + wire::kChunkHeaderBytes, static_cast<uint32_t>(rawBytes));
    return wire::kChunkHeaderBytes + payload;
}
