// Listening sockets on an IPv4 or IPv6 address, and socket addresses as the
// logs print them.
#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>

enum class SocketUse {
    Probe,        // bound only, to learn whether the port is free
    Listen,       // bound and listening
    ListenShared  // the same, on a port that other loops of this server share
};

// A non-blocking, close-on-exec TCP socket bound to HOST:PORT (HOST a numeric
// IPv4 or IPv6 address, brackets allowed around IPv6; PORT 0 picks a free
// one), or -1 with the reason in *error. An IPv6 socket takes IPv4 clients
// as well where its address covers them ("::" serves both families).
int OpenListenSocket(const std::string& host, int port, SocketUse use, std::string* error);

// The port a bound socket holds; 0 when it cannot be read.
uint16_t LocalPort(int fd);

// "192.0.2.7:4711", "[2001:db8::7]:4711"; an IPv4 client of an IPv6 socket
// prints as IPv4.
std::string PeerName(const sockaddr_storage& address);
// The same without the port.
std::string PeerAddress(const sockaddr_storage& address);
// What the per-address limits count: an IPv4 address, or the /64 of an IPv6
// one ("2001:db8:1:2::/64"), since one IPv6 host commonly holds a whole /64.
std::string AddressGroup(const sockaddr_storage& address);

// HOST:PORT for messages, with IPv6 addresses in brackets.
std::string EndpointText(const std::string& host, int port);
