// What every received chunk costs, in the base protocol and in the fast mode
// alike: the byte count, the speed report, the progress pair, the log lines
// and the write to the target file.
#pragma once

#include <cstdint>
#include <cstdio>

enum class ChunkIntake {
    More,     // written; more chunks of the file follow
    Last,     // written; it was the last one
    Refused,  // flag 0: nothing counted or written
    Stopped,  // a stop request was noticed after counting
    Failed,   // the payload did not reach the file
};

// The whole chunk reply frame (buffsize, flag, payload) into target.
ChunkIntake takeChunk(const uint8_t* frame, std::FILE* target);
