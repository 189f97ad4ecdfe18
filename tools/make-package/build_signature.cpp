#include "build_signature.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "package_links.h"
#include "platform/crypto.h"

namespace {

bool WriteFile(const std::string& path, const std::string& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

void StampBuildManifest(const BuildSigningOptions& options, const SignedSequences& before, uint64_t now,
                        BuildManifest* manifest, std::vector<std::string>* warnings)
{
    manifest->sequence = options.sequence >= 0 ? static_cast<uint64_t>(options.sequence) : before.highest + 1;
    manifest->expiresAt = now + static_cast<uint64_t>(options.expiresDays) * 86400u;
    const std::string highest = std::to_string(before.highest);
    if (before.highest > 0 && before.current == 0) {
        warnings->push_back("the current build is not signed (players with keys refuse it); the highest sequence "
                            "signed before is " + highest);
    }
    if (manifest->sequence < before.highest) {
        warnings->push_back("sequence " + std::to_string(manifest->sequence) + " is below " + highest +
                            ", the highest signed before: clients that installed that build refuse this one");
    } else if (manifest->sequence == before.highest) {
        warnings->push_back("sequence " + highest + " was signed before");
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
    SignedSequences before;
    if (!ReadSignedSequences(root, manifest->packageName, &before, error)) return false;
    StampBuildManifest(options, before, static_cast<uint64_t>(std::time(nullptr)), manifest, warnings);
    return WriteSignedManifest(key, *manifest, buildDir, error) &&
           RecordSignedSequence(root, manifest->packageName, std::max(before.highest, manifest->sequence), error);
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
