// The signed manifest of one build: what the publisher vouches for. Its bytes
// (laid out in docs/fast-mode.md) come from the network, so the parser bounds
// every length and count and refuses anything that is not exactly one
// well-formed manifest. No OS calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t kBuildManifestDigestBytes = 32;
constexpr std::size_t kBuildManifestMaxName = 99;
constexpr std::size_t kBuildManifestMaxPath = 179;
// One record fewer than the client's list holds, as make-package allows.
constexpr std::size_t kBuildManifestMaxFiles = 4399;
constexpr std::size_t kBuildManifestHeaderBytes = 59;
constexpr std::size_t kBuildManifestMaxBytes =
    kBuildManifestHeaderBytes + kBuildManifestMaxName +
    kBuildManifestMaxFiles * (2 + kBuildManifestMaxPath + kBuildManifestDigestBytes);

struct BuildManifestFile {
    std::string listPath;  // the record's path as read from the list, "\" made "/": "/dir/file", code page 936
    bool system = false;
    uint8_t sha256[kBuildManifestDigestBytes] = {};
};

struct BuildManifest {
    std::string packageName;
    uint16_t packageNumber = 0;
    uint64_t sequence = 0;        // grows with every build of the package
    uint64_t expiresAt = 0;       // UTC seconds since 1970
    uint8_t listSha256[kBuildManifestDigestBytes] = {};
    std::vector<BuildManifestFile> files;  // in the order of the list's records
};

// The manifest's bytes; empty when a field is outside the bounds above.
std::string FormatBuildManifest(const BuildManifest& manifest);

// True and *out filled only for exactly one well-formed manifest.
bool ParseBuildManifest(const uint8_t* bytes, std::size_t size, BuildManifest* out);
