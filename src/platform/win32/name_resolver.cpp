#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/name_resolver.h"
#include "platform/win32/system_library.h"

namespace platform {
namespace win32 {

namespace {

// getaddrinfo is looked up at run time: the library imports only WSOCK32,
// whose IPv4 calls every dotted address keeps using, and WS2_32 is already
// in the process behind it.
struct Resolver {
    using GetAddrInfo = int(WSAAPI*)(const char*, const char*, const ADDRINFOA*, ADDRINFOA**);
    using FreeAddrInfo = void(WSAAPI*)(ADDRINFOA*);
    GetAddrInfo getAddrInfo = nullptr;
    FreeAddrInfo freeAddrInfo = nullptr;
};

Resolver loadResolver() {
    Resolver resolver;
    HMODULE module = loadSystemLibrary("ws2_32.dll");
    if (module == nullptr) return resolver;
    resolver.getAddrInfo =
        reinterpret_cast<Resolver::GetAddrInfo>(reinterpret_cast<void*>(GetProcAddress(module, "getaddrinfo")));
    resolver.freeAddrInfo =
        reinterpret_cast<Resolver::FreeAddrInfo>(reinterpret_cast<void*>(GetProcAddress(module, "freeaddrinfo")));
    if (resolver.freeAddrInfo == nullptr) resolver.getAddrInfo = nullptr;
    return resolver;
}

const Resolver& resolver() {
    static const Resolver loaded = loadResolver();
    return loaded;
}

}  // namespace

int resolveName(const char* name, uint16_t port, std::vector<ResolvedAddress>* out) {
    out->clear();
    const Resolver& api = resolver();
    if (api.getAddrInfo == nullptr) return WSAHOST_NOT_FOUND;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA* found = nullptr;
    int status = api.getAddrInfo(name, service, &hints, &found);
    if (status != 0) return status;
    for (const ADDRINFOA* address = found; address != nullptr; address = address->ai_next) {
        if (address->ai_family != AF_INET && address->ai_family != AF_INET6) continue;
        ResolvedAddress entry{};
        if (address->ai_addr == nullptr || address->ai_addrlen > sizeof entry.bytes) continue;
        entry.family = address->ai_family;
        entry.length = static_cast<int>(address->ai_addrlen);
        std::memcpy(entry.bytes, address->ai_addr, address->ai_addrlen);
        out->push_back(entry);
    }
    api.freeAddrInfo(found);
    return out->empty() ? WSAHOST_NOT_FOUND : 0;
}

}  // namespace win32
}  // namespace platform
