// A signed build's files from its HTTP mirrors. Helper threads, each with
// its own keep-alive connection, fetch the planned files ahead of the fetch
// loop in pieces of at most 1 MiB (a small file whole, without Range), a
// bounded number of pieces ahead; the worker takes every piece in order
// through the same chunk intake as the server's replies, so the host sees
// the same messages and the digests are taken as the bytes are written.
// A mirror that fails is dropped for the run with one log line and the next
// one goes on from the first byte not written; with none left, the server's
// fast mode brings the rest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/fast_mode.h"
#include "net/transfer_target.h"

// The mirrors of the build just accepted, in order of preference; empty:
// none. Forgets those of an earlier build and stops its helpers.
void setRunMirrors(std::vector<std::string> mirrors);

// A mirror is left and the system's HTTP client is there.
bool mirrorsInUse();

// The files the fetch loop asks for next, in its order, each with its
// SHA-256 from the signed manifest, which names its object on the mirrors.
struct MirrorPlanned {
    PlannedTransfer file;
    uint8_t sha256[32];
};
void planMirrorFetches(const std::vector<MirrorPlanned>& files);

enum class MirrorOutcome {
    Done,      // the file (or the range) is written
    Fallback,  // no mirror is left: go on from *written with the server
    Stopped,   // a stop request was noticed
    Failed,    // the chunk intake refused the bytes (too many, a write failed)
};

// The bytes of the file from *written on, or of the range of a patched file,
// into target; *written ends at the first byte not written. Fallback at once
// when no mirror is in use or the file was not planned.
MirrorOutcome fetchFromMirrors(TransferTarget* target, uint16_t serial, uint32_t maxBytes, const FetchRange* range,
                               uint32_t* written);

// The block table of the file with this SHA-256 from the first mirror that
// has it, at most limit bytes, on the worker's own connection; a mirror that
// fails is dropped. False when none is left: the server is asked instead.
bool fetchTableFromMirrors(const uint8_t sha256[32], uint32_t limit, std::vector<uint8_t>* out);

// After a file whose bytes came from mirrors failed its digest: every mirror
// that sent bytes of it is dropped. False when none was left to drop.
bool blameMirrorsOf(uint16_t serial);

// Interrupts what the helpers are fetching and waits for them to end.
void endMirrorFetches();

// From the host's thread, after a stop request: every GET under way ends.
void interruptMirrorFetches();
