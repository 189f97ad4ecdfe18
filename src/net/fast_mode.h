// The fast mode between our own client and our own update-server
// (docs/fast-mode.md): the server offers it after byte 113 of its package
// reply, where a base client never reads; the client then asks for larger
// chunks, keeps several file requests in flight and skips the pause after
// each frame. Without the offer every transfer goes exactly as the base
// protocol says. After a reconnect the client asks the new server for the
// run's build and goes on in the fast mode only where it gets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "net/transfer_target.h"

constexpr std::size_t kFastOfferOffset = 114;
constexpr std::size_t kFastOfferBytes = 10;
constexpr uint8_t kFastOfferMagic[4] = {'A', 'U', 'F', 'M'};
constexpr uint16_t kFastOfferVersion = 1;
// From version 2 on the offer names the build it serves: the MD5 of its list.
constexpr uint16_t kFastBuildVersion = 2;
constexpr std::size_t kFastBuildOffset = kFastOfferOffset + kFastOfferBytes;
constexpr std::size_t kFastBuildBytes = 16;
// From version 3 on: the sizes of the build's signed manifest and signature
// (0 when the build is not signed) and the features below.
constexpr uint16_t kFastExtrasVersion = 3;
constexpr std::size_t kFastExtrasOffset = kFastBuildOffset + kFastBuildBytes;
constexpr std::size_t kFastExtrasBytes = 8;
constexpr uint16_t kFastFeatureBlockSums = 1;
constexpr uint16_t kFastFeatureDeflate = 2;
// From version 4 on: bit 2 says the bound build's files are also on HTTP
// mirrors, whose base URLs the reserved serial below answers.
constexpr uint16_t kFastMirrorsVersion = 4;
constexpr uint16_t kFastFeatureMirrors = 4;
// Serials that name no list record (a list holds at most 4400): the bound
// build's manifest, signature and mirror list, and the block checksums of the record
// whose serial is in the low 15 bits.
constexpr uint16_t kFastManifestSerial = 0xFFFE;
constexpr uint16_t kFastSignatureSerial = 0xFFFD;
constexpr uint16_t kFastMirrorListSerial = 0xFFFC;
constexpr uint16_t kFastBlockSumsSerialBit = 0x8000;
// Bit 31 of the wanted payload: a deflated reply is welcome.
constexpr uint32_t kFastWantDeflated = 0x80000000u;
constexpr uint8_t kFastChunkDeflatedBit = 0x10;
constexpr uint32_t kFastMaxChunkPayload = 65534;  // buffsize is 16-bit and counts the flag
constexpr uint32_t kFastMaxWindow = 16;

// Reads the offer, if any, of the package reply in receiveBuffer and turns
// the fast mode on (or off) for the connection it came on; the pipeline of
// an earlier connection is to be reset first.
void takeFastOffer();
// Forgets every request in flight and every planned file.
void resetFastPipeline();
// The first offer of the run named its build, so a new connection can ask
// for that build again.
bool fastBuildKnown();

// What the offer of the run's server says beyond the sizes: version 3 and up.
struct FastOfferExtras {
    uint32_t manifestBytes = 0;  // 0: the build is not signed
    uint16_t signatureBytes = 0;
    uint16_t features = 0;
};
// Those of the offer taken last (all 0 without one).
FastOfferExtras fastOfferExtras();

enum class ResumeOutcome {
    Fast,        // the new server serves the run's build: the fast mode is on again
    Base,        // it offers no fast mode naming a build: the base protocol goes on
    OtherBuild,  // it serves another build: nothing more of this run can come from it
    Lost,        // the link failed during the exchange; a reconnect replaces it
    Stopped,
};
// On a new connection after a loss in the fast mode: sends the package
// request again, naming the run's build, and reads the offer of the reply.
ResumeOutcome resumeOnNewLink();
// What the reply in receiveBuffer says about the run's build.
ResumeOutcome takeResumeOffer();

// The chunk payload the client asks for and the requests it keeps in flight
// while the fast mode is on.
uint32_t fastChunkPayload();
uint32_t fastWindow();

// The files the fetch loop asks for next, in order, with their listed sizes
// and the first byte not yet staged: their requests may go out while earlier
// files are still arriving.
struct FetchRange {
    uint32_t from;
    uint32_t to;
};
struct PlannedTransfer {
    uint16_t serial;
    uint32_t size;
    uint32_t start = 0;
    // A patched file: only these ranges are asked for, in order.
    std::vector<FetchRange> ranges = {};
};
void planTransfers(const PlannedTransfer* files, std::size_t count);

enum class FastOutcome {
    Base,     // fast mode is off: go on in the base protocol from *resumeOffset
    Done,     // the last chunk is written
    Stopped,  // a stop request was noticed
    Failed,   // the transfer failed
};

// Receives the file of this serial from *resumeOffset on (the bytes already
// staged), at most maxBytes, into target while the fast mode is on. After a
// lost connection it reconnects and goes on in the fast mode when the new
// server serves the run's build; with a base server it answers Base with the
// first byte not yet written in *resumeOffset; with another build it fails,
// and the run ends incomplete.
FastOutcome fetchFileFast(TransferTarget* target, uint16_t serial, uint32_t maxBytes, uint32_t* resumeOffset);

// Reads the file of a reserved serial (the manifest, the signature) whole
// into out, in the fast mode, at most maxBytes: no host message, no count
// of the run's bytes. False when the server refuses it, sends more, the
// link fails or a stop is asked for; the link is then not to be used.
bool fetchReservedFast(uint16_t serial, uint32_t maxBytes, std::vector<uint8_t>* out);

// One range of a patched file, planned with planTransfers, into target; the
// bytes before range.from are the target's already. *written ends at the
// first byte not written (for Base: where the base protocol goes on). A file
// that ends inside the range fails.
FastOutcome fetchRangeFast(TransferTarget* target, uint16_t serial, FetchRange range, uint32_t* written);

// The bytes of a side file of the run's build (the block table of a record),
// at most limit of them, one request at a time, into out. False when the
// fast mode is off, the server has none (flag 0) or sends more than limit,
// or the link fails (it is then replaced as after any loss).
bool fetchSideFileFast(uint16_t serial, uint32_t limit, std::vector<uint8_t>* out);
