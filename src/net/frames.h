// What crosses the connection: the two little-endian request frames, the reply
// frames, and the package request exchange.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kPackageRequestSize = 114;
constexpr std::size_t kFileRequestSize = 20;
constexpr uint32_t kPackageRequestCode = 32;
constexpr uint32_t kFileRequestCode = 34;
constexpr uint16_t kNoSuchPackage = 0xFFFF;
constexpr std::size_t kMaxReplyBody = 10238;  // buffsize that still fits receiveBuffer

// Chunk reply flags.
constexpr uint8_t kChunkRefused = 0;
constexpr uint8_t kChunkLast = 2;

void buildPackageRequest(uint8_t frame[kPackageRequestSize], const char* serverPackageName);
void buildFileRequest(uint8_t frame[kFileRequestSize], uint16_t packageFileId, uint16_t serial,
                      uint32_t offset);

// Whether g_Socket holds a socket that send and recv may be given.
bool linkOpen();
// One send of the bytes on g_Socket: the count sent, or -1 on failure or
// when there is no socket.
int sendOnLink(const uint8_t* data, int length);
// One read on g_Socket that waits at most waitMs for bytes: the count read
// (0 when the server closed), or -1 on failure, a time-out included.
int receiveOnLink(uint8_t* data, int length, uint32_t waitMs);
// What a failed read does: log it with errorCode, close g_Socket and leave it
// 0, lower inNotify.
void dropLink(uint32_t errorCode);

// Test seam: the bytes of the link come from, and go to, these functions
// instead of g_Socket, which then only has to be nonzero (null restores).
struct LinkHooks {
    int (*send)(const uint8_t* data, int length);
    int (*receive)(uint8_t* data, int length, uint32_t waitMs);
};
void setLinkForTests(const LinkHooks* hooks);

// How long one reply frame may take from its first read to its last byte.
constexpr uint32_t kFrameDeadlineMs = 60000;
// WSAETIMEDOUT, what an expired read reports.
constexpr uint32_t kFrameTimedOut = 10060;
// kFrameDeadlineMs, or the shorter one the environment asks for.
uint32_t frameDeadline();

// Reads one whole reply frame from g_Socket into receiveBuffer, within the
// frame deadline; a frame still incomplete then fails like a timed-out read.
// Every whole frame owes the server a pause before the next request.
bool receiveFrame();

// The pause a whole reply frame owes: kReplyPauseMs between its arrival and
// the next bytes sent on the link. It runs from the arrival, so the chunk's
// write, log lines and notifications take place inside it, not after it.
constexpr uint32_t kReplyPauseMs = 5;
void owePause();
// Sleeps out what is left of an owed pause; sendOnLink calls it.
void settlePause();
// The log line of a whole reply frame: its buffsize and first body bytes.
void logReplyFrame(const uint8_t* frame);

// buffsize of the frame in receiveBuffer.
uint16_t replyBuffsize();
// The package number of a package reply in receiveBuffer.
uint16_t replyPackageFileId();

// Sends the PackageRequest and reads its reply, within the attempt budgets.
// False when the run is over (host already notified, flags set).
bool requestPackage();
