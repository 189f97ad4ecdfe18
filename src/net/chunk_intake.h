// What every received chunk costs, in the base protocol and in the fast mode
// alike: the checks against the file's size and against a server going round
// in circles, the byte count, the speed report, the progress pair, the log
// lines and the write to the target file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "net/transfer_target.h"

enum class ChunkIntake {
    More,     // written; more chunks of the file follow
    Last,     // written; it was the last one
    Refused,  // flag 0: nothing counted or written
    Stopped,  // a stop request was noticed after counting
    Failed,   // too much for the file, too many empty replies, or the write failed
};

// The whole chunk reply frame (buffsize, flag, payload) for the bytes from
// offset of a file of at most maxBytes, into target and its digest. repliesWithoutProgress
// counts the "more follows" replies without a byte in a row (start at 0).
ChunkIntake takeChunk(const uint8_t* frame, TransferTarget* target, uint32_t offset, uint32_t maxBytes,
                      int* repliesWithoutProgress);
