#include "net/http_mirrors.h"

#include <cstring>

namespace {

bool isBaseUrl(const std::string& url) {
    if (url.size() > kMirrorUrlMaxBytes || url.empty() || url.back() != '/') return false;
    const bool http = url.compare(0, 7, "http://") == 0 && url.size() > 8;
    const bool https = url.compare(0, 8, "https://") == 0 && url.size() > 9;
    if (!http && !https) return false;
    for (char c : url) {
        if (c <= ' ' || c > '~') return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> ParseMirrorList(const uint8_t* text, std::size_t size) {
    std::vector<std::string> mirrors;
    if (size > kMirrorListMaxBytes) return mirrors;
    std::size_t at = 0;
    while (at < size && mirrors.size() < kMirrorsMax) {
        const void* newline = std::memchr(text + at, '\n', size - at);
        std::size_t end = newline != nullptr ? static_cast<std::size_t>(static_cast<const uint8_t*>(newline) - text) : size;
        std::string line(reinterpret_cast<const char*>(text + at), end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (isBaseUrl(line)) mirrors.push_back(line);
        at = end + 1;
    }
    return mirrors;
}

std::string MirrorObjectUrl(const std::string& base, const uint8_t sha256[32], bool blockTable) {
    static const char kHex[] = "0123456789abcdef";
    char hex[65];
    for (int i = 0; i < 32; ++i) {
        hex[2 * i] = kHex[sha256[i] >> 4];
        hex[2 * i + 1] = kHex[sha256[i] & 15];
    }
    hex[64] = '\0';
    std::string url = base;
    url += blockTable ? "sums/" : "objects/";
    url.append(hex, 2);
    url += '/';
    url += hex;
    return url;
}
