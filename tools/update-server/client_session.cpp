#include "client_session.h"

#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "package_manifest.h"

namespace {

// A base client sends 0 and gets the server's own chunk; a fast-mode client
// names its size, which never goes past what the offer allowed.
// Bit 31 of the field only says that the client takes deflated replies.
uint32_t WantedBytes(const wire::ParsedRequest& request) { return request.wantedPayload & ~wire::kWantDeflated; }

bool FastRequest(const wire::ParsedRequest& request, const SessionRules& rules)
{
    return rules.fastChunkPayload > 0 && WantedBytes(request) != 0;
}

std::size_t ChunkFor(const wire::ParsedRequest& request, const SessionRules& rules)
{
    if (!FastRequest(request, rules)) return rules.chunkPayload;
    return WantedBytes(request) < rules.fastChunkPayload ? WantedBytes(request) : rules.fastChunkPayload;
}

// A base request never gets anything but the base reply.
bool DeflateWanted(const wire::ParsedRequest& request, const SessionRules& rules)
{
    return rules.deflate && FastRequest(request, rules) && (request.wantedPayload & wire::kWantDeflated) != 0;
}

// Only a signed manifest makes a mirror's bytes count, so the mirrors are
// named only with a signed build.
bool MirrorsServed(const PackageBuild* build, const SessionRules& rules)
{
    return rules.mirrors && build != nullptr && build->signing == Signing::Yes;
}

// The flag and size of the chunk a file request gets: none for the serial
// the server is told to refuse, nor for a block-sum table or the mirror list
// outside the fast mode or when they are not served, else what locate finds
// for the chunk size.
template <typename Locate>
ChunkAnswer AnswerChunk(const wire::ParsedRequest& request, const SessionRules& rules, const PackageBuild* build,
                        Locate locate)
{
    if (static_cast<long>(request.serial) == rules.refuseSerial) return ChunkAnswer();
    if (IsSumsSerial(request.serial) && !(rules.blockSums && FastRequest(request, rules))) return ChunkAnswer();
    if (request.serial == wire::kMirrorListSerial && !(MirrorsServed(build, rules) && FastRequest(request, rules))) {
        return ChunkAnswer();
    }
    return locate(ChunkFor(request, rules));
}

uint16_t OfferedFeatures(const PackageBuild& build, const SessionRules& rules)
{
    return static_cast<uint16_t>((rules.blockSums && build.hasSums ? wire::kFeatureBlockSums : 0) |
                                 (rules.deflate ? wire::kFeatureDeflate : 0) |
                                 (MirrorsServed(&build, rules) ? wire::kFeatureMirrors : 0));
}

std::string DescribeChunk(const wire::ParsedRequest& request, const ChunkAnswer& answer)
{
    const char* what = request.serial == wire::kManifestSerial    ? " (signed manifest)"
                       : request.serial == wire::kSignatureSerial ? " (signature)"
                       : request.serial == wire::kMirrorListSerial ? " (mirror list)"
                                                                  : "";
    char line[256];
    std::snprintf(line, sizeof line, "file %u/%u offset %lu -> flag %u, %zu bytes%s%s",
                  static_cast<unsigned>(request.packageId), static_cast<unsigned>(request.serial),
                  static_cast<unsigned long>(request.offset), static_cast<unsigned>(answer.flag),
                  answer.payloadBytes, what, request.wantedPayload != 0 ? " (fast mode)" : "");
    return line;
}

// The reply to a package request and the build the connection is then
// served from: the one the request names by its tag when the server still
// holds it, else the current one. The offer names that build, so a client
// that asked for another one learns that it did not get it.
std::size_t AnswerPackage(const wire::ParsedRequest& request, const PackageCatalog& catalog, const SessionRules& rules,
                          uint8_t* out, std::string* logLine, std::shared_ptr<const PackageBuild>* bound)
{
    const uint16_t id = catalog.FindPackage(request.packageName);
    std::shared_ptr<const PackageBuild> build;
    if (request.buildTag != 0) build = catalog.FindBuild(id, request.buildTag);
    const bool tagHeld = build != nullptr;
    if (!build) build = catalog.CurrentBuild(id);
    const bool offer = rules.fastChunkPayload > 0 && id != kUnknownPackageId && build && build->hasDigest;
    if (offer) {
        wire::FastOffer fast;
        fast.version = wire::kOfferVersion;
        fast.maxChunkPayload = static_cast<uint16_t>(rules.fastChunkPayload);
        fast.maxInFlight = static_cast<uint16_t>(rules.fastWindow);
        fast.hasBuild = true;
        std::memcpy(fast.build, build->listDigest, sizeof fast.build);
        fast.manifestBytes = build->manifestBytes;
        fast.signatureBytes = build->signatureBytes;
        fast.features = OfferedFeatures(*build, rules);
        wire::BuildOfferedPackageReply(out, id, fast);
    } else {
        wire::BuildPackageReply(out, id);
    }
    char asked[64] = "";
    if (request.buildTag != 0) {
        std::snprintf(asked, sizeof asked, " asks for build %08x%s", static_cast<unsigned>(request.buildTag),
                      tagHeld ? "" : " (not held)");
    }
    char line[320];
    std::snprintf(line, sizeof line, "package \"%.99s\"%s -> %u%s%s%s", request.packageName.c_str(), asked,
                  static_cast<unsigned>(id), id == kUnknownPackageId ? " (unknown)" : "",
                  build ? (", " + build->label()).c_str() : "", offer ? " (fast mode offered)" : "");
    *logLine = line;
    *bound = build;
    return offer ? wire::kOfferedPackageReplyBytes : wire::kPackageReplyBytes;
}

}  // namespace

std::size_t AnswerRequest(const wire::ParsedRequest& request, const PackageCatalog& catalog, const SessionRules& rules,
                          uint8_t* out, std::size_t* payloadBytes, std::string* logLine)
{
    *payloadBytes = 0;
    if (request.kind == wire::RequestKind::Package) {
        std::shared_ptr<const PackageBuild> bound;
        return AnswerPackage(request, catalog, rules, out, logLine, &bound);
    }
    const std::shared_ptr<const PackageBuild> current = catalog.CurrentBuild(request.packageId);
    const ChunkAnswer answer = AnswerChunk(request, rules, current.get(), [&](std::size_t chunk) {
        if (request.serial == wire::kMirrorListSerial) {
            return ReadServedPiece(rules.mirrors->descriptor(), rules.mirrors->size(), request.offset, chunk,
                                   out + wire::kChunkHeaderBytes);
        }
        return catalog.ReadChunk(request.packageId, request.serial, request.offset, chunk,
                                 out + wire::kChunkHeaderBytes);
    });
    *logLine = DescribeChunk(request, answer);
    if (answer.payloadBytes > 0 && DeflateWanted(request, rules)) {
        ServedFile file;
        int storedFd = -1;
        long long storedAt = 0;
        std::size_t storedBytes = 0;
        file.Locate(catalog.CurrentBuild(request.packageId), request.serial, request.offset, ChunkFor(request, rules));
        if (file.deflates() &&
            file.StoredDeflated(request.offset, answer.payloadBytes, &storedFd, &storedAt, &storedBytes) &&
            storedBytes < answer.payloadBytes &&
            pread(storedFd, out + wire::kChunkHeaderBytes, storedBytes, storedAt) ==
                static_cast<ssize_t>(storedBytes)) {
            wire::BuildChunkHeader(out, static_cast<uint8_t>(answer.flag | wire::kChunkDeflatedBit), storedBytes);
            *payloadBytes = storedBytes;
            return wire::kChunkHeaderBytes + storedBytes;
        }
    }
    wire::BuildChunkHeader(out, answer.flag, answer.payloadBytes);
    *payloadBytes = answer.payloadBytes;
    return wire::kChunkHeaderBytes + answer.payloadBytes;
}

std::string ClientSession::buildLabel() const { return build_ ? build_->label() : std::string(); }

std::size_t ClientSession::receiveWanted() const
{
    if (replyPending()) return 0;
    // Every request is at least a file request long, so its first read may
    // take that many bytes at once instead of the two that give its length:
    // one receive call per file request, and still none past its end.
    if (received_ < 2) return wire::kFileRequestBytes - received_;
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
    rawPayload_ = deflateSaved_ = 0;
    if (request.kind == wire::RequestKind::File) {
        // A connection that never asked for the package (a base client after
        // a reconnect) gets the current build: nothing names another one.
        const std::shared_ptr<const PackageBuild> build =
            build_ && build_->id == request.packageId ? build_ : catalog.CurrentBuild(request.packageId);
        replyBuild_ = build;
        const ChunkAnswer answer = AnswerChunk(request, rules, build.get(), [&](std::size_t chunk) {
            if (request.serial == wire::kMirrorListSerial) {
                return file_.LocateHeld(rules.mirrors->descriptor(), rules.mirrors->size(), request.offset, chunk);
            }
            return file_.Locate(build, request.serial, request.offset, chunk);
        });
        wire::BuildChunkHeader(reply_, answer.flag, answer.payloadBytes);
        replyLength_ = wire::kChunkHeaderBytes;
        payload = payloadLeft_ = rawPayload_ = answer.payloadBytes;
        payloadFd_ = file_.descriptor();
        payloadOffset_ = request.offset;
        lastPiece_ = answer.flag != 1;
        *logLine = DescribeChunk(request, answer);
        if (payload > 0 && DeflateWanted(request, rules) && file_.deflates()) {
            deflateChunk(request.offset, answer.flag, logLine);
        }
    } else {
        replyLength_ = AnswerPackage(request, catalog, rules, reply_, logLine, &build_);
        replyBuild_ = build_;
    }
    if (request.kind == wire::RequestKind::File && payload > 0) {
        filePayloadSent_ += static_cast<long long>(payload);
        if (rules.dropAfter > 0 && filePayloadSent_ >= rules.dropAfter) dropDue_ = true;
    }
    return Step::ReplyReady;
}

void ClientSession::deflateChunk(uint32_t offset, uint8_t flag, std::string* logLine)
{
    int storedFd = -1;
    long long storedAt = 0;
    std::size_t storedBytes = 0;
    if (file_.StoredDeflated(offset, payloadLeft_, &storedFd, &storedAt, &storedBytes) &&
        storedBytes < payloadLeft_) {
        wire::BuildChunkHeader(reply_, static_cast<uint8_t>(flag | wire::kChunkDeflatedBit), storedBytes);
        deflateSaved_ = payloadLeft_ - storedBytes;
        payloadFd_ = storedFd;
        payloadOffset_ = storedAt;
        payloadLeft_ = storedBytes;
        *logLine += ", stored deflated " + std::to_string(storedBytes);
    }
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
