#include <cstring>

#include "net/fast_mode.h"
#include "net/frames.h"
#include "run/run_state.h"

namespace {

uint32_t g_fastChunk = 0;
uint32_t g_fastWindow = 0;

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

}  // namespace

void takeFastOffer() {
    g_RunState.fastMode = 0;
    const uint8_t* reply = g_RunState.receiveBuffer;
    // A base server's reply ends at byte 113; the buffer is zero beyond it.
    if (replyBuffsize() + 2u < kFastOfferOffset + kFastOfferBytes) return;
    const uint8_t* block = reply + kFastOfferOffset;
    if (std::memcmp(block, kFastOfferMagic, sizeof kFastOfferMagic) != 0) return;
    // A later version keeps these fields and may add more after them.
    const uint16_t version = le16(block + 4);
    const uint16_t maxChunk = le16(block + 6);
    const uint16_t maxInFlight = le16(block + 8);
    if (version < kFastOfferVersion || maxChunk == 0 || maxChunk > kFastMaxChunkPayload || maxInFlight == 0) {
        return;
    }
    g_fastChunk = maxChunk;
    g_fastWindow = maxInFlight < kFastMaxWindow ? maxInFlight : kFastMaxWindow;
    g_RunState.fastMode = 1;
}

uint32_t fastChunkPayload() {
    return g_fastChunk;
}

uint32_t fastWindow() {
    return g_fastWindow;
}
