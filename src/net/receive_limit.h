// The player's cap on the download rate (gamedata.xml, <download maxkibps>):
// a token bucket on the bytes of every reply frame taken in, in the base
// protocol and the fast mode alike. Without a cap nothing waits.
#pragma once

#include <cstdint>

// A cap below this is raised to it: a whole fast-mode frame then waits about
// 4 s, far inside the server's patience with a reply nobody reads.
constexpr uint32_t kReceiveLimitFloorKiB = 16;

// Forgets the bytes counted so far; limitKiB 0 lifts the cap.
void startReceiveLimit(uint32_t limitKiB);

// Counts a frame of the given size and waits until the cap allows it. Waits
// in short steps that test stopRequested; false when a stop came meanwhile.
bool paceReceived(uint32_t bytes);
