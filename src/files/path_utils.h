// Path operations shared by the updater; "/" and "\" are both separators.
#pragma once

// The last component of path (at most 256 bytes) into out (257 bytes or
// more); false for an empty path, separators only, or a path too long.
bool LastPathComponent(const char* path, char* out);

// Removes the leading separators of text, then splits its first component
// into out (256 bytes); false when no separator follows it.
bool SplitFirstComponent(char* text, char* out);

// Creates, below runningPath, every directory that relative names before its
// last separator, appending each to runningPath (256 bytes) on the way.
void CreateDirectoryChain(char* runningPath, const char* relative);
