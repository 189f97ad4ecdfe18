// The HTTP mirrors a signed build's files may come from: the base URLs our
// server names (reserved serial 0xFFFC), in the operator's order of
// preference, and the URL of each object under them. Objects are named by
// the SHA-256 the signed manifest gives, so a mirror can only serve bytes
// that are checked against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t kMirrorListMaxBytes = 8192;
constexpr std::size_t kMirrorUrlMaxBytes = 1000;
constexpr std::size_t kMirrorsMax = 8;

// The base URLs of the list text ("\n" between them, a CR before it allowed):
// http:// or https://, printable ASCII without spaces, ending in "/". A line
// that is not such a URL is left out; empty when none is.
std::vector<std::string> ParseMirrorList(const uint8_t* text, std::size_t size);

// BASE + "objects/" + the first two hex digits + "/" + the 64 hex digits;
// "sums/" instead for a block table.
std::string MirrorObjectUrl(const std::string& base, const uint8_t sha256[32], bool blockTable = false);
