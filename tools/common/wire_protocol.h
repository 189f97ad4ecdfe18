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
// The largest chunk a base-protocol client accepts.
constexpr std::size_t kDefaultChunkPayload = kMaxChunkPayload;

// The fast-mode offer our server appends to its package reply, after the
// 114 bytes a base client reads (docs/fast-mode.md). Version 2 appends the
// digest of the build the connection is served from; version 3 the sizes of
// the build's signed manifest and signature and what else the server serves;
// version 4 adds a feature bit and a reserved serial, no bytes.
constexpr std::size_t kOfferOffset = 114;
constexpr std::size_t kOfferFieldBytes = 10;
constexpr std::size_t kListDigestBytes = 16;
constexpr std::size_t kOfferExtrasBytes = 8;
constexpr std::size_t kOfferBytes = kOfferFieldBytes + kListDigestBytes + kOfferExtrasBytes;
constexpr std::size_t kFirstOfferReplyBytes = kOfferOffset + kOfferFieldBytes;
constexpr std::size_t kBuildOfferReplyBytes = kFirstOfferReplyBytes + kListDigestBytes;
constexpr std::size_t kOfferedPackageReplyBytes = kOfferOffset + kOfferBytes;
constexpr uint8_t kOfferMagic[4] = {'A', 'U', 'F', 'M'};
constexpr uint16_t kOfferVersion = 4;
// Version 3 features.
constexpr uint16_t kFeatureBlockSums = 1;  // block checksums of listed files
constexpr uint16_t kFeatureDeflate = 2;    // deflated chunk replies on request
// Version 4: HTTP mirrors hold the signed build's files (serial 0xFFFC).
constexpr uint16_t kFeatureMirrors = 4;
// Reserved serials of a file request, never a list record's (at most 4400):
// the bound build's signed manifest and its signature, the base URLs of
// the HTTP mirrors, and the block checksums of the record whose serial is in
// the low 15 bits.
constexpr uint16_t kManifestSerial = 0xFFFE;
constexpr uint16_t kSignatureSerial = 0xFFFD;
constexpr uint16_t kMirrorListSerial = 0xFFFC;
// The mirror list: at most this many base URLs of at most this many bytes,
// each ending in "/", joined by "\n".
constexpr std::size_t kMaxMirrors = 8;
constexpr std::size_t kMaxMirrorUrlBytes = 1000;
constexpr uint16_t kBlockSumsSerialBit = 0x8000;
// Bit 31 of the wanted payload: the client takes a deflated reply.
constexpr uint32_t kWantDeflated = 0x80000000u;
// A deflated chunk reply has this bit in its flag.
constexpr uint8_t kChunkDeflatedBit = 0x10;
// buffsize is 16-bit and counts the flag too.
constexpr std::size_t kMaxFastChunkPayload = 65534;
constexpr std::size_t kDefaultFastWindow = 16;
constexpr std::size_t kMaxFastReplyBytes = kChunkHeaderBytes + kMaxFastChunkPayload;

struct FastOffer {
    uint16_t version = 0;
    uint16_t maxChunkPayload = 0;  // 0: no offer
    uint16_t maxInFlight = 0;
    // Version 2 and up: the MD5 of the served build's inflated list.
    bool hasBuild = false;
    uint8_t build[kListDigestBytes] = {};
    // Version 3 and up; 0 when the build is not signed.
    uint32_t manifestBytes = 0;
    uint16_t signatureBytes = 0;
    uint16_t features = 0;
};

constexpr uint8_t kChunkRefused = 0;
constexpr uint8_t kChunkMore = 1;
constexpr uint8_t kChunkLast = 2;

enum class RequestKind { Incomplete, Package, File, Invalid };

struct ParsedRequest {
    RequestKind kind = RequestKind::Incomplete;
    std::size_t frameBytes = 0;  // known once buffsize is in
    std::string packageName;     // Package
    // Package: 0 from a base client; after a reconnect our client names the
    // build it is fetching by the first four bytes of its list digest.
    uint32_t buildTag = 0;
    uint16_t packageId = 0;      // File
    uint16_t serial = 0;         // File
    uint32_t offset = 0;         // File
    // File: the payload size a fast-mode client asks for; 0 from a base client.
    uint32_t wantedPayload = 0;
};

// Looks at the bytes received so far of one request. Invalid: a buffsize that
// is neither request's, or a code that does not match it.
ParsedRequest ParseRequest(const uint8_t* data, std::size_t length);

// Bytes of the request still missing (2 until buffsize is in); 0 when the
// frame is whole or can never be valid.
std::size_t MissingRequestBytes(const uint8_t* data, std::size_t length);

// 114 bytes: buffsize 112, the number at offset 112, every other byte zero.
void BuildPackageReply(uint8_t out[kPackageReplyBytes], uint16_t packageId);
// The same reply followed by the offer block: kOfferedPackageReplyBytes.
void BuildOfferedPackageReply(uint8_t out[kOfferedPackageReplyBytes], uint16_t packageId, const FastOffer& offer);
// The offer in a whole package reply frame of length bytes; maxChunkPayload
// 0 when there is none (a base server's reply, a wrong magic, zero fields).
FastOffer ReadOffer(const uint8_t* frame, std::size_t length);
// buffsize (1 + payload) and flag; the payload follows at offset 3.
void BuildChunkHeader(uint8_t out[kChunkHeaderBytes], uint8_t flag, std::size_t payloadBytes);

// The client's side of the frames, for tools and tests that play a client.
void BuildPackageRequest(uint8_t out[kPackageRequestBytes], const std::string& name, uint32_t buildTag = 0);
// The tag a package request carries for the build with this list digest.
uint32_t BuildTagOf(const uint8_t digest[kListDigestBytes]);
void BuildFileRequest(uint8_t out[kFileRequestBytes], uint16_t packageId, uint16_t serial, uint32_t offset,
                      uint32_t wantedPayload = 0);

uint16_t ReadLe16(const uint8_t* p);
uint32_t ReadLe32(const uint8_t* p);
void WriteLe16(uint8_t* p, uint16_t value);
void WriteLe32(uint8_t* p, uint32_t value);

}  // namespace wire
