// A transfer's file is created and written on a thread of its own, so that
// the worker receives and digests the next chunk while the last one goes to
// the disk: on two cores the digest, the write and the file's creation (a
// millisecond on some disks) no longer take turns.
//
// The worker digests the very bytes it hands over, and the writer writes a
// copy of them made before the worker's buffer can change, so the digest is
// still over the bytes as written. A file is judged only after awaitWrites
// said every one of its bytes was written, and a file that cannot be created
// or written fails as it would have on the spot: at the next bytes handed,
// or at the wait.
//
// One file at a time: each begins with openBehind or writeTo and ends with
// awaitWrites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The bytes handed next go to the file at path, created empty.
void openBehind(const char* path);

// The bytes handed next go to file, already open (a resumed part).
void writeTo(std::FILE* file);

// Hands count bytes, to be written after those handed before. False once
// the file could not be created or a write to it failed; *outOfSpace then
// tells whether a write failed for lack of space on its volume.
bool writeBehind(const uint8_t* bytes, std::size_t count, bool* outOfSpace);

// Room for bytes read straight into the batch being filled, which saves a
// copy: up to *room bytes at the pointer returned. They are handed with
// behindFilled and must not change until then.
uint8_t* behindRoom(std::size_t* room);

// Hands the first count bytes of the room behindRoom gave, as writeBehind
// would have.
bool behindFilled(std::size_t count, bool* outOfSpace);

// Returns once every byte handed is written: true when all of them were.
// *file is the file they went to, to be closed by the caller; null when it
// could not be created. Called for every file, also after a failure or a
// stop.
bool awaitWrites(std::FILE** file, bool* outOfSpace);

// Ends the writer thread at the worker's end.
void endWriteBehind();

// After the worker was ended by force: the next run starts a writer of its
// own. The old one finishes what it was handed and leaves.
void abandonWriteBehind();
