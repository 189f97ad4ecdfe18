// The system resolver of WS2_32, kept apart from sockets.cpp: that file
// speaks Windows sockets 1.1 (winsock.h), which cannot share a unit with
// winsock2.h.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {
namespace win32 {

struct ResolvedAddress {
    int family;
    int length;
    alignas(8) unsigned char bytes[128];  // room for any socket address
};

// The addresses of name with port, IPv6 and IPv4, in the resolver's order.
// 0, or the Winsock error of the resolver (WSAHOST_NOT_FOUND when it gave
// nothing usable, or when this Windows has no getaddrinfo).
int resolveName(const char* name, uint16_t port, std::vector<ResolvedAddress>* out);

}  // namespace win32
}  // namespace platform
