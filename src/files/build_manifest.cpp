#include "files/build_manifest.h"

#include <cstring>

#include "files/list_path_check.h"

namespace {

const char kMagic[4] = {'A', 'U', 'B', 'M'};
constexpr uint16_t kFormatVersion = 1;

void putLittle(std::string* out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

class Reader {
public:
    Reader(const uint8_t* bytes, std::size_t size) : at_(bytes), left_(size) {}

    bool little(int width, uint64_t* value) {
        if (left_ < static_cast<std::size_t>(width)) return false;
        *value = 0;
        for (int i = 0; i < width; ++i) *value |= static_cast<uint64_t>(at_[i]) << (8 * i);
        skip(width);
        return true;
    }
    bool bytes(std::size_t count, const uint8_t** out) {
        if (left_ < count) return false;
        *out = at_;
        skip(count);
        return true;
    }
    bool done() const { return left_ == 0; }

private:
    void skip(std::size_t count) {
        at_ += count;
        left_ -= count;
    }
    const uint8_t* at_;
    std::size_t left_;
};

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace

std::string FormatBuildManifest(const BuildManifest& manifest) {
    const std::size_t nameLength = manifest.packageName.size();
    if (nameLength == 0 || nameLength > kBuildManifestMaxName || hasNul(manifest.packageName) ||
        manifest.files.size() > kBuildManifestMaxFiles) {
        return std::string();
    }
    std::string out(kMagic, sizeof kMagic);
    putLittle(&out, kFormatVersion, 2);
    putLittle(&out, manifest.packageNumber, 2);
    putLittle(&out, manifest.sequence, 8);
    putLittle(&out, manifest.expiresAt, 8);
    out.append(reinterpret_cast<const char*>(manifest.listSha256), kBuildManifestDigestBytes);
    putLittle(&out, manifest.files.size(), 2);
    putLittle(&out, nameLength, 1);
    out += manifest.packageName;
    for (const BuildManifestFile& file : manifest.files) {
        if (file.listPath.empty() || file.listPath.size() > kBuildManifestMaxPath || hasNul(file.listPath)) {
            return std::string();
        }
        putLittle(&out, file.system ? 1 : 0, 1);
        putLittle(&out, file.listPath.size(), 1);
        out += file.listPath;
        out.append(reinterpret_cast<const char*>(file.sha256), kBuildManifestDigestBytes);
    }
    return out;
}

bool ParseBuildManifest(const uint8_t* bytes, std::size_t size, BuildManifest* out) {
    if (bytes == nullptr || size < kBuildManifestHeaderBytes || size > kBuildManifestMaxBytes) return false;
    Reader reader(bytes, size);
    const uint8_t* magic = nullptr;
    uint64_t version = 0, number = 0, count = 0, nameLength = 0;
    const uint8_t* listDigest = nullptr;
    const uint8_t* name = nullptr;
    BuildManifest manifest;
    if (!reader.bytes(sizeof kMagic, &magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) return false;
    if (!reader.little(2, &version) || version != kFormatVersion) return false;
    if (!reader.little(2, &number) || !reader.little(8, &manifest.sequence) ||
        !reader.little(8, &manifest.expiresAt) || !reader.bytes(kBuildManifestDigestBytes, &listDigest) ||
        !reader.little(2, &count) || !reader.little(1, &nameLength)) {
        return false;
    }
    if (count > kBuildManifestMaxFiles || nameLength == 0 || nameLength > kBuildManifestMaxName) return false;
    if (!reader.bytes(nameLength, &name)) return false;
    manifest.packageNumber = static_cast<uint16_t>(number);
    manifest.packageName.assign(reinterpret_cast<const char*>(name), nameLength);
    if (hasNul(manifest.packageName)) return false;
    std::memcpy(manifest.listSha256, listDigest, kBuildManifestDigestBytes);

    manifest.files.resize(count);
    for (BuildManifestFile& file : manifest.files) {
        uint64_t kind = 0, pathLength = 0;
        const uint8_t* path = nullptr;
        const uint8_t* digest = nullptr;
        if (!reader.little(1, &kind) || kind > 1 || !reader.little(1, &pathLength) || pathLength == 0 ||
            pathLength > kBuildManifestMaxPath || !reader.bytes(pathLength, &path) ||
            !reader.bytes(kBuildManifestDigestBytes, &digest)) {
            return false;
        }
        file.system = kind == 1;
        file.listPath.assign(reinterpret_cast<const char*>(path), pathLength);
        // The same rule the list's own paths must pass before anything is fetched.
        if (hasNul(file.listPath) || !IsSafeListPath(file.listPath.c_str())) return false;
        std::memcpy(file.sha256, digest, kBuildManifestDigestBytes);
    }
    if (!reader.done()) return false;
    *out = std::move(manifest);
    return true;
}
