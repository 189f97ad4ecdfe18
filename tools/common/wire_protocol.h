// The frames between client and update server. Every frame starts with
// buffsize, the little-endian count of the bytes after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// In a namespace of its own: the updater's core names some of the same
// constants, and tests include both.
namespace wire {

constexpr std::size_t kPackageRequestBytes = 114;
constexpr std::size_t kFileRequestBytes = 20;
constexpr uint32_t kPackageRequestCode = 32;
constexpr uint32_t kFileRequestCode = 34;
constexpr std::size_t kPackageReplyBytes = 114;
// The client's receive buffer holds 10240 bytes: a chunk frame is buffsize,
// flag and payload.
constexpr std::size_t kMaxReplyBytes = 10240;
constexpr std::size_t kChunkHeaderBytes = 3;
constexpr std::size_t kMaxChunkPayload = kMaxReplyBytes - kChunkHeaderBytes;
constexpr std::size_t kDefaultChunkPayload = 4096;

constexpr uint8_t kChunkRefused = 0;
constexpr uint8_t kChunkMore = 1;
constexpr uint8_t kChunkLast = 2;

enum class RequestKind { Incomplete, Package, File, Invalid };

struct ParsedRequest {
    RequestKind kind = RequestKind::Incomplete;
    std::size_t frameBytes = 0;  // known once buffsize is in
    std::string packageName;     // Package
    uint16_t packageId = 0;      // File
    uint16_t serial = 0;         // File
    uint32_t offset = 0;         // File
};

// Looks at the bytes received so far of one request. Invalid: a buffsize that
// is neither request's, or a code that does not match it.
ParsedRequest ParseRequest(const uint8_t* data, std::size_t length);

// Bytes of the request still missing (2 until buffsize is in); 0 when the
// frame is whole or can never be valid.
std::size_t MissingRequestBytes(const uint8_t* data, std::size_t length);

// 114 bytes: buffsize 112, the number at offset 112, every other byte zero.
void BuildPackageReply(uint8_t out[kPackageReplyBytes], uint16_t packageId);
// buffsize (1 + payload) and flag; the payload follows at offset 3.
void BuildChunkHeader(uint8_t out[kChunkHeaderBytes], uint8_t flag, std::size_t payloadBytes);

// The client's side of the frames, for tools and tests that play a client.
void BuildPackageRequest(uint8_t out[kPackageRequestBytes], const std::string& name);
void BuildFileRequest(uint8_t out[kFileRequestBytes], uint16_t packageId, uint16_t serial, uint32_t offset);

uint16_t ReadLe16(const uint8_t* p);
uint32_t ReadLe32(const uint8_t* p);
void WriteLe16(uint8_t* p, uint16_t value);
void WriteLe32(uint8_t* p, uint32_t value);

}  // namespace wire
