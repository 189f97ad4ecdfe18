// The run's one TCP connection, g_Socket, to a server of the ServerTable.
#pragma once

// The first connection: the preferred address, then up to 800 random draws
// over untried rows. False when the run is over (host already notified).
bool connectFirstServer();

// A new connection after a failed send or read: up to 499 draws over untried
// rows, then a 2400 ms pause. False when no server could be reached.
bool reconnectServer();
