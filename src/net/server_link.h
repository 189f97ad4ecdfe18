// The run's one TCP connection, g_Socket, to a server of the ServerTable.
#pragma once

#include <cstdint>

// The first connection: the preferred address, then up to 800 random draws
// over untried rows. False when the run is over (host already notified).
bool connectFirstServer();

// A new connection after a failed send or read: up to 499 draws over untried
// rows, then a 2400 ms pause. False when no server could be reached.
bool reconnectServer();

// reconnectServer without its pause: a run in the fast mode asks the new
// server for its build at once and owes the pause only to a server that then
// offers no fast mode.
bool connectNextServer();
// Whether a row of the table has had no connection attempt in this run.
bool untriedServerLeft();

// While a build's files come from HTTP mirrors the run lets its connection
// go, so that the server's slot serves another player meanwhile; the
// server's address is kept for the way back.
void parkLink();
bool linkParked();
// Connects to the parked server again (no draw, no pause); false when it
// cannot be reached: the usual draw over untried rows follows.
bool unparkLink();

constexpr uint32_t kPauseAfterReconnectMs = 2400;
