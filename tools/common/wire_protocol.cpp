#include "wire_protocol.h"

#include <cstring>

namespace wire {

namespace {

constexpr std::size_t kNameOffset = 12;
constexpr std::size_t kNameField = 99;
constexpr std::size_t kReplyIdOffset = 112;

void WriteRequestHeader(uint8_t* out, std::size_t frameBytes, uint32_t code)
{
    WriteLe16(out, static_cast<uint16_t>(frameBytes - 2));
    WriteLe32(out + 2, code);
    WriteLe16(out + 6, 1);
    WriteLe32(out + 8, 0);
}

}  // namespace

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t ReadLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteLe16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void WriteLe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::size_t MissingRequestBytes(const uint8_t* data, std::size_t length)
{
    if (length < 2) return 2 - length;
    std::size_t frame = static_cast<std::size_t>(ReadLe16(data)) + 2;
    if (frame != kPackageRequestBytes && frame != kFileRequestBytes) return 0;
    return length < frame ? frame - length : 0;
}

ParsedRequest ParseRequest(const uint8_t* data, std::size_t length)
{
    ParsedRequest request;
    if (length < 2) return request;
    request.frameBytes = static_cast<std::size_t>(ReadLe16(data)) + 2;
    if (request.frameBytes != kPackageRequestBytes && request.frameBytes != kFileRequestBytes) {
        request.kind = RequestKind::Invalid;
        return request;
    }
    if (length < request.frameBytes) return request;
    uint32_t code = ReadLe32(data + 2);
    if (request.frameBytes == kPackageRequestBytes && code == kPackageRequestCode) {
        const char* name = reinterpret_cast<const char*>(data + kNameOffset);
        // A 99-byte name fills the field and has no terminating zero.
        request.packageName.assign(name, strnlen(name, kNameField));
        request.buildTag = ReadLe32(data + 8);
        request.kind = RequestKind::Package;
    } else if (request.frameBytes == kFileRequestBytes && code == kFileRequestCode) {
        request.packageId = ReadLe16(data + 12);
        request.serial = ReadLe16(data + 14);
        request.offset = ReadLe32(data + 16);
        request.wantedPayload = ReadLe32(data + 8);
        request.kind = RequestKind::File;
    } else {
        request.kind = RequestKind::Invalid;
    }
    return request;
}

void BuildPackageReply(uint8_t out[kPackageReplyBytes], uint16_t packageId)
{
    std::memset(out, 0, kPackageReplyBytes);
    WriteLe16(out, static_cast<uint16_t>(kPackageReplyBytes - 2));
    WriteLe16(out + kReplyIdOffset, packageId);
}

void BuildOfferedPackageReply(uint8_t out[kOfferedPackageReplyBytes], uint16_t packageId, const FastOffer& offer)
{
    BuildPackageReply(out, packageId);
    WriteLe16(out, static_cast<uint16_t>(kOfferedPackageReplyBytes - 2));
    uint8_t* block = out + kOfferOffset;
    std::memcpy(block, kOfferMagic, sizeof kOfferMagic);
    WriteLe16(block + 4, offer.version);
    WriteLe16(block + 6, offer.maxChunkPayload);
    WriteLe16(block + 8, offer.maxInFlight);
    std::memcpy(block + kOfferFieldBytes, offer.build, kListDigestBytes);
    uint8_t* extras = block + kOfferFieldBytes + kListDigestBytes;
    WriteLe32(extras, offer.manifestBytes);
    WriteLe16(extras + 4, offer.signatureBytes);
    WriteLe16(extras + 6, offer.features);
}

FastOffer ReadOffer(const uint8_t* frame, std::size_t length)
{
    FastOffer offer;
    if (length < kFirstOfferReplyBytes || ReadLe16(frame) + 2u < kFirstOfferReplyBytes) return offer;
    const uint8_t* block = frame + kOfferOffset;
    if (std::memcmp(block, kOfferMagic, sizeof kOfferMagic) != 0) return offer;
    FastOffer read;
    read.version = ReadLe16(block + 4);
    read.maxChunkPayload = ReadLe16(block + 6);
    read.maxInFlight = ReadLe16(block + 8);
    if (read.version == 0 || read.maxChunkPayload == 0 || read.maxChunkPayload > kMaxFastChunkPayload ||
        read.maxInFlight == 0) {
        return offer;
    }
    if (read.version >= 2 && length >= kBuildOfferReplyBytes && ReadLe16(frame) + 2u >= kBuildOfferReplyBytes) {
        read.hasBuild = true;
        std::memcpy(read.build, block + kOfferFieldBytes, kListDigestBytes);
    }
    if (read.version >= 3 && length >= kOfferedPackageReplyBytes &&
        ReadLe16(frame) + 2u >= kOfferedPackageReplyBytes) {
        const uint8_t* extras = block + kOfferFieldBytes + kListDigestBytes;
        read.manifestBytes = ReadLe32(extras);
        read.signatureBytes = ReadLe16(extras + 4);
        read.features = ReadLe16(extras + 6);
    }
    return read;
}

void BuildChunkHeader(uint8_t out[kChunkHeaderBytes], uint8_t flag, std::size_t payloadBytes)
{
    WriteLe16(out, static_cast<uint16_t>(1 + payloadBytes));
    out[2] = flag;
}

void BuildPackageRequest(uint8_t out[kPackageRequestBytes], const std::string& name, uint32_t buildTag)
{
    std::memset(out, 0, kPackageRequestBytes);
    WriteRequestHeader(out, kPackageRequestBytes, kPackageRequestCode);
    WriteLe32(out + 8, buildTag);
    std::memcpy(out + kNameOffset, name.data(), name.size() < kNameField ? name.size() : kNameField);
}

uint32_t BuildTagOf(const uint8_t digest[kListDigestBytes]) { return ReadLe32(digest); }

void BuildFileRequest(uint8_t out[kFileRequestBytes], uint16_t packageId, uint16_t serial, uint32_t offset,
                      uint32_t wantedPayload)
{
    WriteRequestHeader(out, kFileRequestBytes, kFileRequestCode);
    WriteLe32(out + 8, wantedPayload);
    WriteLe16(out + 12, packageId);
    WriteLe16(out + 14, serial);
    WriteLe32(out + 16, offset);
}

}  // namespace wire
