#include "files/build_trust.h"

#include <cstring>

namespace {

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

const char* ManifestVerdictName(ManifestVerdict verdict) {
    switch (verdict) {
    case ManifestVerdict::Accepted: return "accepted";
    case ManifestVerdict::Malformed: return "malformed manifest";
    case ManifestVerdict::BadSignature: return "bad signature";
    case ManifestVerdict::WrongPackage: return "manifest of another package";
    case ManifestVerdict::Rollback: return "older than the installed build";
    case ManifestVerdict::Expired: return "expired";
    }
    return "unknown";
}

bool DecodeBuildPublicKey(const std::string& base64, BuildPublicKey* key) {
    std::size_t begin = 0, end = base64.size();
    while (begin < end && isBlank(base64[begin])) ++begin;
    while (end > begin && isBlank(base64[end - 1])) --end;
    // 65 bytes are 88 characters, the last one "=".
    if (end - begin != 88 || base64[end - 1] != '=' || base64[end - 2] == '=') return false;
    uint8_t out[66];
    std::size_t length = 0;
    for (std::size_t i = begin; i < end - 1; i += 4) {
        uint32_t group = 0;
        int valid = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            int value = (i + j < end - 1) ? base64Value(base64[i + j]) : 0;
            if (value < 0) return false;
            if (i + j < end - 1) ++valid;
            group = (group << 6) | static_cast<uint32_t>(value);
        }
        out[length++] = static_cast<uint8_t>(group >> 16);
        out[length++] = static_cast<uint8_t>(group >> 8);
        if (valid == 4) out[length++] = static_cast<uint8_t>(group);
        // The bits below the last byte must be zero, or two texts would
        // name the same key.
        else if ((group & 0xFF) != 0) return false;
    }
    if (length != platform::kP256PublicKeyBytes || out[0] != 0x04) return false;
    std::memcpy(key->point, out, platform::kP256PublicKeyBytes);
    return true;
}

ManifestVerdict VerifyBuildManifest(const uint8_t* manifest, std::size_t manifestSize, const uint8_t* signature,
                                    std::size_t signatureSize, const std::vector<BuildPublicKey>& keys,
                                    const std::string& packageName, uint64_t lastSequence, uint64_t now,
                                    BuildManifest* out) {
    if (manifest == nullptr || manifestSize > kBuildManifestMaxBytes || signature == nullptr ||
        signatureSize != platform::kP256SignatureBytes) {
        return ManifestVerdict::Malformed;
    }
    bool signedByKey = false;
    for (const BuildPublicKey& key : keys) {
        if (platform::verifyP256Signature(key.point, manifest, manifestSize, signature)) {
            signedByKey = true;
            break;
        }
    }
    if (!signedByKey) return ManifestVerdict::BadSignature;
    BuildManifest parsed;
    if (!ParseBuildManifest(manifest, manifestSize, &parsed)) return ManifestVerdict::Malformed;
    if (parsed.packageName != packageName) return ManifestVerdict::WrongPackage;
    if (parsed.sequence < lastSequence) return ManifestVerdict::Rollback;
    if (now >= parsed.expiresAt) return ManifestVerdict::Expired;
    *out = std::move(parsed);
    return ManifestVerdict::Accepted;
}
