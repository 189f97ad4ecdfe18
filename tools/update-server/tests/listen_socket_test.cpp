#include "listen_socket.h"

#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>

namespace {

sockaddr_storage PeerOf(const char* address)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    sockaddr_storage peer{};
    if (getaddrinfo(address, "4711", &hints, &found) != 0) return peer;
    std::memcpy(&peer, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return peer;
}

std::string PeerNameOf(const char* address) { return PeerName(PeerOf(address)); }

// An IPv4 client of an IPv6 socket is shown as the IPv4 address it is.
TEST(ListenSocket, PeersPrintAsTheirFamilyWritesThem)
{
    EXPECT_EQ("192.0.2.7:4711", PeerNameOf("192.0.2.7"));
    EXPECT_EQ("[2001:db8::7]:4711", PeerNameOf("2001:db8::7"));
    EXPECT_EQ("192.0.2.7:4711", PeerNameOf("::ffff:192.0.2.7"));
}

// The per-address limits count an IPv6 client's whole /64.
TEST(ListenSocket, IPv6ClientsAreCountedPerSlash64)
{
    EXPECT_EQ("2001:db8:1:2::/64", AddressGroup(PeerOf("2001:db8:1:2:aaaa::7")));
    EXPECT_EQ("192.0.2.7", AddressGroup(PeerOf("::ffff:192.0.2.7")));
}

}  // namespace
