// Deflated chunk replies, for a fast-mode client that takes them and a file
// make-package marked as worth it: flag | 0x10, then the raw byte count
// (le32) and a zlib stream of exactly those bytes. make-package stores them
// for the chunks our client asks for; the server makes the others.
#pragma once

#include <cstddef>
#include <cstdint>

// The whole reply frame into out (room for 3 + rawBytes): its length, or 0
// when the deflated form would not be smaller than the raw chunk reply.
std::size_t BuildDeflatedReply(const uint8_t* raw, std::size_t rawBytes, uint8_t flag, uint8_t* out);

// The stored replies of a marked file, deflated/<serial> in its build: a
// head of piece size and count (le32 each), per piece the place and length
// (le32 each) of its reply payload in the file, length 0 for a piece that
// does not shrink, then the payloads. Piece i holds the file's bytes from
// i * piece size, as many as a chunk of that size from there gives.
constexpr std::size_t kStoredHeadBytes = 8;
constexpr std::size_t kStoredEntryBytes = 8;
