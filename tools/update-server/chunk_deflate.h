// Deflated chunk replies, for a fast-mode client that takes them and a file
// make-package marked as worth it: flag | 0x10, then the raw byte count
// (le32) and a zlib stream of exactly those bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The whole reply frame into out (room for 3 + rawBytes): its length, or 0
// when the deflated form would not be smaller than the raw chunk reply.
std::size_t BuildDeflatedReply(const uint8_t* raw, std::size_t rawBytes, uint8_t flag, uint8_t* out);

// rawBytes of the file at offset into a buffer of the calling thread, which
// stays valid until its next call; null when the file has fewer bytes there.
const uint8_t* ReadRawPiece(int fd, long long offset, std::size_t rawBytes);
