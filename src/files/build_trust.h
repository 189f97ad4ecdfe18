// Whether a build's manifest is the publisher's and may be installed: its
// signature checks with one of the game's public keys, it does not go back
// behind the build installed last, and it has not expired.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files/build_manifest.h"
#include "platform/crypto.h"

struct BuildPublicKey {
    uint8_t point[platform::kP256PublicKeyBytes] = {};
};

enum class ManifestVerdict {
    Accepted,
    Malformed,     // not a manifest, or a signature that is not 64 bytes
    BadSignature,  // made by none of the keys, or over other bytes
    WrongPackage,  // signed, but for another package
    Rollback,      // signed, but older than the build installed last
    Expired,       // signed, but past its expiry time
};

// Short English text naming the verdict, for logs and tests.
const char* ManifestVerdictName(ManifestVerdict verdict);

// Reads a key as gamedata.xml carries it: base64 of the 65-byte point
// (blanks around it ignored). False for anything else.
bool DecodeBuildPublicKey(const std::string& base64, BuildPublicKey* key);

// The signature is checked first, so nothing unsigned is interpreted beyond
// the parser's bounds. A sequence equal to lastSequence is accepted (the
// same build again); now and expiresAt are UTC seconds. *out is filled
// only when the verdict is Accepted.
ManifestVerdict VerifyBuildManifest(const uint8_t* manifest, std::size_t manifestSize, const uint8_t* signature,
                                    std::size_t signatureSize, const std::vector<BuildPublicKey>& keys,
                                    const std::string& packageName, uint64_t lastSequence, uint64_t now,
                                    BuildManifest* out);
