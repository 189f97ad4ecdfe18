#include <cstring>

#include "net/fast_mode.h"
#include "net/frames.h"
#include "run/run_state.h"

namespace {

uint32_t g_fastChunk = 0;
uint32_t g_fastWindow = 0;
// The build the run's first offer named.
bool g_buildKnown = false;
uint8_t g_build[kFastBuildBytes];
FastOfferExtras g_extras;

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

struct Offer {
    bool valid = false;
    uint16_t maxChunk = 0;
    uint16_t maxInFlight = 0;
    const uint8_t* build = nullptr;  // version 2 and up
    FastOfferExtras extras;          // version 3 and up
};

// The offer of the package reply in receiveBuffer, if any.
Offer readOffer() {
    Offer offer;
    const uint8_t* reply = g_RunState.receiveBuffer;
    // A base server's reply ends at byte 113; the buffer is zero beyond it.
    const uint32_t frameBytes = replyBuffsize() + 2u;
    if (frameBytes < kFastOfferOffset + kFastOfferBytes) return offer;
    const uint8_t* block = reply + kFastOfferOffset;
    if (std::memcmp(block, kFastOfferMagic, sizeof kFastOfferMagic) != 0) return offer;
    // A later version keeps these fields and may add more after them.
    const uint16_t version = le16(block + 4);
    offer.maxChunk = le16(block + 6);
    offer.maxInFlight = le16(block + 8);
    if (version < kFastOfferVersion || offer.maxChunk == 0 || offer.maxChunk > kFastMaxChunkPayload ||
        offer.maxInFlight == 0) {
        return offer;
    }
    offer.valid = true;
    if (version >= kFastBuildVersion && frameBytes >= kFastBuildOffset + kFastBuildBytes) {
        offer.build = reply + kFastBuildOffset;
    }
    if (version >= kFastExtrasVersion && frameBytes >= kFastExtrasOffset + kFastExtrasBytes) {
        const uint8_t* extras = reply + kFastExtrasOffset;
        offer.extras.manifestBytes = static_cast<uint32_t>(le16(extras)) | (static_cast<uint32_t>(le16(extras + 2)) << 16);
        offer.extras.signatureBytes = le16(extras + 4);
        offer.extras.features = le16(extras + 6);
    }
    return offer;
}

void takeSizes(const Offer& offer) {
    g_extras = offer.extras;
    g_fastChunk = offer.maxChunk;
    g_fastWindow = offer.maxInFlight < kFastMaxWindow ? offer.maxInFlight : kFastMaxWindow;
}

}  // namespace

void takeFastOffer() {
    g_RunState.fastMode = 0;
    g_buildKnown = false;
    g_extras = FastOfferExtras();
    const Offer offer = readOffer();
    if (!offer.valid) return;
    takeSizes(offer);
    if (offer.build != nullptr) {
        std::memcpy(g_build, offer.build, kFastBuildBytes);
        g_buildKnown = true;
    }
    g_RunState.fastMode = 1;
}

bool fastBuildKnown() {
    return g_buildKnown;
}

FastOfferExtras fastOfferExtras() {
    return g_extras;
}

ResumeOutcome takeResumeOffer() {
    g_RunState.fastMode = 0;
    const Offer offer = readOffer();
    // An offer that names no build cannot promise the run's files.
    if (!offer.valid || offer.build == nullptr) return ResumeOutcome::Base;
    if (std::memcmp(offer.build, g_build, kFastBuildBytes) != 0) return ResumeOutcome::OtherBuild;
    takeSizes(offer);
    g_RunState.packageFileId = replyPackageFileId();
    g_RunState.fastMode = 1;
    return ResumeOutcome::Fast;
}

ResumeOutcome resumeOnNewLink() {
    uint8_t frame[kPackageRequestSize];
    buildPackageRequest(frame, g_RunState.serverPackageName);
    // The field a base client sends as 0 names the build by the first bytes
    // of its digest; the reply's offer names the build in full.
    std::memcpy(frame + 8, g_build, 4);
    int sent = 0;
    while (sent < static_cast<int>(kPackageRequestSize)) {
        if (g_RunState.stopRequested) return ResumeOutcome::Stopped;
        int count = sendOnLink(frame + sent, static_cast<int>(kPackageRequestSize) - sent);
        if (count < 0) return ResumeOutcome::Lost;
        sent += count;
    }
    if (!receiveFrame()) return g_RunState.stopRequested ? ResumeOutcome::Stopped : ResumeOutcome::Lost;
    return takeResumeOffer();
}

uint32_t fastChunkPayload() {
    return g_fastChunk;
}

uint32_t fastWindow() {
    return g_fastWindow;
}
