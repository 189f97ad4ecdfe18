#ifndef AUTOUPDATE_STATUS_TEXT_H
#define AUTOUPDATE_STATUS_TEXT_H

#include <cstdint>
#include <string>

// Plain English sentences for what the library reports, shared by the
// launchers (update-host on a terminal, the reference GUI launcher).

// A sentence for an error code of status kind 6; any code the library does
// not name itself is a system error code.
std::string describeError(intptr_t code);

// A sentence for status message 11111 of the given kind. text is the record
// the message points at (the path of kind 2, the download address of kind
// 11117, the folder of kind 16), already copied by the caller; it is ignored
// for other kinds.
std::string describeStatus(uintptr_t kind, intptr_t value, const std::string& text);

// AU_ERR_DISK_FULL with what AU_STATUS_DISK_NEEDED, _FREE and _FOLDER told
// (KiB; a negative amount or an empty folder when that message did not come).
std::string diskFullText(long long neededKiB, long long freeKiB, const std::string& folder);

// "1.5 MiB", "12.0 KiB", "512 B".
std::string byteCountText(long long bytes);
// "1.5 MiB not downloaded": what AU_STATUS_BYTES_SAVED reports, in KiB.
std::string savedText(intptr_t kib);

// Error 23 once the package download has begun: the server went away and no
// other one could be reached. finished of listed files are staged; listed is
// negative when the run lost its server before it had the file list.
std::string connectionLostText(int finished, int listed);

#endif
