// Replacing a file so that it is either the old file or the new one, never a
// half-written one: copy beside the target, then rename over it.
#pragma once

namespace platform {
namespace win32 {

// Temporary files are named "{prefix}{pid}.{serial}.tmp", so that one left by
// a process that was ended before its rename is recognised and removed.
extern const char kTemporaryPrefix[];

// CopyFileA(source, target, FALSE) through a temporary copy in the target's
// folder and MoveFileExA; on failure GetLastError tells why (a target held
// open by another program fails the rename) and the target is untouched.
bool replaceByCopy(const char* source, const char* target);

// Removes from directory ("" for the working directory, else ending in a
// separator) every temporary of a process that no longer runs; the number
// removed.
int removeLeftoverTemporaries(const char* directory);

// The same for the folder of target, at most once per folder in this process:
// every way of putting a file into a folder calls it, so the leftovers of an
// ended run go at the next run whichever way that run installs.
void removeLeftoverTemporariesBeside(const char* target);

}  // namespace win32
}  // namespace platform
