#include "listen_socket.h"

#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>

namespace {

std::string PeerNameOf(const char* address)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address, "4711", &hints, &found) != 0) return "not an address";
    sockaddr_storage peer{};
    std::memcpy(&peer, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return PeerName(peer);
}

// An IPv4 client of an IPv6 socket is shown as the IPv4 address it is.
TEST(ListenSocket, PeersPrintAsTheirFamilyWritesThem)
{
    EXPECT_EQ("192.0.2.7:4711", PeerNameOf("192.0.2.7"));
    EXPECT_EQ("[2001:db8::7]:4711", PeerNameOf("2001:db8::7"));
    EXPECT_EQ("192.0.2.7:4711", PeerNameOf("::ffff:192.0.2.7"));
}

}  // namespace
