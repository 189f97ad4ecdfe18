// The raw bytes of a chunk, for the server to deflate.
#pragma once

#include <cstddef>
#include <cstdint>

// rawBytes of the file at offset into a buffer of the calling thread, which
// stays valid until its next call; null when the file has fewer bytes there.
const uint8_t* ReadRawPiece(int fd, long long offset, std::size_t rawBytes);
