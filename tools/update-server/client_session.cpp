#include "client_session.h"

#include <cstdio>

#include "package_manifest.h"

namespace {

// A base client sends 0 and gets the server's own chunk; a fast-mode client
// names its size, which never goes past what the offer allowed.
std::size_t ChunkFor(const wire::ParsedRequest& request, const SessionRules& rules)
{
    if (rules.fastChunkPayload == 0 || request.wantedPayload == 0) return rules.chunkPayload;
    return request.wantedPayload < rules.fastChunkPayload ? request.wantedPayload : rules.fastChunkPayload;
}

// The flag and size of the chunk a file request gets: none for the serial
// the server is told to refuse, else what locate finds for the chunk size.
template <typename Locate>
ChunkAnswer AnswerChunk(const wire::ParsedRequest& request, const SessionRules& rules, Locate locate)
{
    if (static_cast<long>(request.serial) == rules.refuseSerial) return ChunkAnswer();
    return locate(ChunkFor(request, rules));
}

std::string DescribeChunk(const wire::ParsedRequest& request, const ChunkAnswer& answer)
{
    char line[256];
    std::snprintf(line, sizeof line, "file %u/%u offset %lu -> flag %u, %zu bytes%s",
                  static_cast<unsigned>(request.packageId), static_cast<unsigned>(request.serial),
                  static_cast<unsigned long>(request.offset), static_cast<unsigned>(answer.flag),
                  answer.payloadBytes, request.wantedPayload != 0 ? " (fast mode)" : "");
    return line;
}

}  // namespace

std::size_t AnswerRequest(const wire::ParsedRequest& request, const PackageCatalog& catalog, const SessionRules& rules,
                          uint8_t* out, std::size_t* payloadBytes, std::string* logLine)
{
    *payloadBytes = 0;
    char line[256];
    if (request.kind == wire::RequestKind::Package) {
        uint16_t id = catalog.FindPackage(request.packageName);
        const bool offer = rules.fastChunkPayload > 0 && id != kUnknownPackageId;
        if (offer) {
            wire::FastOffer fast;
            fast.version = wire::kOfferVersion;
            fast.maxChunkPayload = static_cast<uint16_t>(rules.fastChunkPayload);
            fast.maxInFlight = static_cast<uint16_t>(rules.fastWindow);
            wire::BuildOfferedPackageReply(out, id, fast);
        } else {
            wire::BuildPackageReply(out, id);
        }
        std::snprintf(line, sizeof line, "package \"%.99s\" -> %u%s%s", request.packageName.c_str(),
                      static_cast<unsigned>(id), id == kUnknownPackageId ? " (unknown)" : "",
                      offer ? " (fast mode offered)" : "");
        *logLine = line;
        return offer ? wire::kOfferedPackageReplyBytes : wire::kPackageReplyBytes;
    }
    const ChunkAnswer answer = AnswerChunk(request, rules, [&](std::size_t chunk) {
        return catalog.ReadChunk(request.packageId, request.serial, request.offset, chunk,
                                 out + wire::kChunkHeaderBytes);
    });
    wire::BuildChunkHeader(out, answer.flag, answer.payloadBytes);
    *payloadBytes = answer.payloadBytes;
    *logLine = DescribeChunk(request, answer);
    return wire::kChunkHeaderBytes + answer.payloadBytes;
}

std::size_t ClientSession::receiveWanted() const
{
    if (replyPending()) return 0;
    return wire::MissingRequestBytes(request_, received_);
}

ClientSession::Step ClientSession::onReceived(std::size_t bytes, const PackageCatalog& catalog,
                                              const SessionRules& rules, std::string* logLine)
{
    received_ += bytes;
    wire::ParsedRequest request = wire::ParseRequest(request_, received_);
    if (request.kind == wire::RequestKind::Invalid) return Step::Close;
    if (request.kind == wire::RequestKind::Incomplete) return Step::NeedMore;

    std::size_t payload = 0;
    replySent_ = 0;
    received_ = 0;
    if (request.kind == wire::RequestKind::File) {
        const ChunkAnswer answer = AnswerChunk(request, rules, [&](std::size_t chunk) {
            return file_.Locate(catalog, request.packageId, request.serial, request.offset, chunk);
        });
        wire::BuildChunkHeader(reply_, answer.flag, answer.payloadBytes);
        replyLength_ = wire::kChunkHeaderBytes;
        payload = payloadLeft_ = answer.payloadBytes;
        payloadOffset_ = request.offset;
        lastPiece_ = answer.flag != 1;
        *logLine = DescribeChunk(request, answer);
    } else {
        replyLength_ = AnswerRequest(request, catalog, rules, reply_, &payload, logLine);
    }
    if (request.kind == wire::RequestKind::File && payload > 0) {
        filePayloadSent_ += static_cast<long long>(payload);
        if (rules.dropAfter > 0 && filePayloadSent_ >= rules.dropAfter) dropDue_ = true;
    }
    return Step::ReplyReady;
}

bool ClientSession::onSent(std::size_t bytes)
{
    const std::size_t head = bytes < replyLength_ - replySent_ ? bytes : replyLength_ - replySent_;
    replySent_ += head;
    payloadOffset_ += static_cast<long long>(bytes - head);
    payloadLeft_ -= bytes - head;
    if (replyPending()) return false;
    replyLength_ = replySent_ = 0;
    // A descriptor is held only while more of the file is still to come.
    if (lastPiece_) file_.Close();
    lastPiece_ = false;
    return true;
}
