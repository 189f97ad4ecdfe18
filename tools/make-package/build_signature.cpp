#include "build_signature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "package_links.h"
#include "platform/crypto.h"

namespace {

bool ReadWholeFile(const std::string& path, std::string* bytes, std::size_t limit)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && bytes->size() <= limit) bytes->append(buffer, got);
    std::fclose(file);
    return bytes->size() <= limit;
}

bool WriteFile(const std::string& path, const std::string& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

uint64_t CurrentBuildSequence(const std::string& root, const std::string& name)
{
    std::string bytes;
    BuildManifest manifest;
    if (!ReadWholeFile(root + "/" + name + "/" + name + ".manifest", &bytes, kBuildManifestMaxBytes) ||
        !ParseBuildManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &manifest)) {
        return 0;
    }
    return manifest.sequence;
}

void StampBuildManifest(const BuildSigningOptions& options, uint64_t previousSequence, uint64_t now,
                        BuildManifest* manifest, std::string* warning)
{
    manifest->sequence = options.sequence >= 0 ? static_cast<uint64_t>(options.sequence) : previousSequence + 1;
    manifest->expiresAt = now + static_cast<uint64_t>(options.expiresDays) * 86400u;
    if (options.sequence >= 0 && manifest->sequence < previousSequence) {
        *warning = "sequence " + std::to_string(manifest->sequence) + " is below the current build's " +
                   std::to_string(previousSequence) + ": clients that installed that build refuse this one";
    } else if (options.sequence >= 0 && manifest->sequence == previousSequence) {
        *warning = "sequence " + std::to_string(manifest->sequence) + " is the current build's too";
    }
}

bool SignBuild(const SigningKey& key, const BuildSigningOptions& options, const std::string& root,
               const std::string& list, const std::string& buildDir, BuildManifest* manifest,
               std::vector<std::string>* warnings, std::string* error)
{
    if (!platform::sha256(list.data(), list.size(), manifest->listSha256)) {
        *error = "cannot take the SHA-256 of the list";
        return false;
    }
    std::string warning;
    StampBuildManifest(options, CurrentBuildSequence(root, manifest->packageName),
                       static_cast<uint64_t>(std::time(nullptr)), manifest, &warning);
    if (!warning.empty()) warnings->push_back(warning);
    return WriteSignedManifest(key, *manifest, buildDir, error);
}

bool WriteSignedManifest(const SigningKey& key, const BuildManifest& manifest, const std::string& buildDir,
                         std::string* error)
{
    const std::string bytes = FormatBuildManifest(manifest);
    if (bytes.empty()) {
        *error = "the build does not fit a manifest";
        return false;
    }
    std::string signature;
    if (!SignBytes(key, bytes, &signature, error)) return false;
    const std::string base = buildDir + "/" + manifest.packageName;
    if (!WriteFile(base + ".manifest", bytes) || !WriteFile(base + ".sig", signature)) {
        *error = "cannot write " + base + ".manifest or .sig: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool LinkSignedManifest(const std::string& root, const std::string& name, std::string* error)
{
    for (const char* suffix : {".manifest", ".sig"}) {
        if (!PointLink(name + "/" + name + suffix, root + "/" + name + suffix)) {
            *error = "cannot link " + root + "/" + name + suffix + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}
