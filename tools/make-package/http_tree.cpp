#include "http_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "files/build_manifest.h"
#include "package_builder.h"
#include "tree_files.h"

namespace {

bool IsSha256Hex(const std::string& name)
{
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Puts source's bytes at path unless path has them already. True and
// *added when it wrote them; false with error when path holds another size
// or cannot be written.
bool PlaceObject(const std::string& source, const std::string& path, bool* added, std::string* error)
{
    *added = false;
    struct stat have, want;
    if (stat(source.c_str(), &want) != 0) {
        *error = "cannot read " + source + ": " + std::strerror(errno);
        return false;
    }
    if (lstat(path.c_str(), &have) == 0) {
        if (S_ISREG(have.st_mode) && have.st_size == want.st_size) return true;
        *error = path + " holds " + std::to_string(have.st_size) + " bytes where its name says " +
                 std::to_string(want.st_size) + ": the HTTP tree is damaged; remove that file and build again";
        return false;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!MakeDirectories(folder)) {
        *error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    // A hard link costs no bytes and no time; where the tree lies on another
    // filesystem, a copy under a temporary name is renamed into place whole.
    if (link(source.c_str(), path.c_str()) != 0) {
        const std::string temp = path + ".tmp-" + std::to_string(getpid());
        if (CopyRegularFile(source, temp) != static_cast<long long>(want.st_size) ||
            rename(temp.c_str(), path.c_str()) != 0) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            unlink(temp.c_str());
            return false;
        }
    }
    *added = true;
    return true;
}

// Every SHA-256 that a manifest of a kept build names; false when one of
// them is there but cannot be read.
bool KeptNames(const std::string& root, std::set<std::string>* names, std::vector<std::string>* warnings)
{
    bool ok = false;
    const std::string store = root + "/" + kStoreFolder;
    for (const std::string& package : SortedNames(store, &ok)) {
        for (const std::string& build : SortedNames(store + "/" + package, &ok)) {
            const std::string path = store + "/" + package + "/" + build + "/" + package + ".manifest";
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) continue;
            std::string bytes;
            std::FILE* file = std::fopen(path.c_str(), "rb");
            if (file != nullptr && st.st_size > 0 && static_cast<std::size_t>(st.st_size) <= kBuildManifestMaxBytes) {
                bytes.resize(static_cast<std::size_t>(st.st_size));
                bytes.resize(std::fread(&bytes[0], 1, bytes.size(), file));
            }
            if (file != nullptr) std::fclose(file);
            BuildManifest manifest;
            if (!ParseBuildManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &manifest)) {
                warnings->push_back("cannot read " + path + ": nothing removed from " + root + "/" + kHttpTreeFolder);
                return false;
            }
            for (const BuildManifestFile& entry : manifest.files) names->insert(Sha256Hex(entry.sha256));
        }
    }
    return true;
}

}  // namespace

std::string Sha256Hex(const uint8_t digest[32])
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 32; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

std::string HttpObjectPath(const std::string& sha256Hex) { return "objects/" + sha256Hex.substr(0, 2) + "/" + sha256Hex; }

std::string HttpSumsPath(const std::string& sha256Hex) { return "sums/" + sha256Hex.substr(0, 2) + "/" + sha256Hex; }

bool WriteHttpObjects(const std::string& root, const std::vector<HttpObjectSource>& sources, HttpTreeCounts* counts,
                      std::string* error)
{
    const std::string tree = root + "/" + kHttpTreeFolder + "/";
    std::set<std::string> seen;
    for (const HttpObjectSource& source : sources) {
        if (!seen.insert(source.sha256Hex).second) continue;
        ++counts->objects;
        bool added = false;
        if (!PlaceObject(source.filePath, tree + HttpObjectPath(source.sha256Hex), &added, error)) return false;
        counts->newObjects += added;
        if (source.sumsPath.empty()) continue;
        if (!PlaceObject(source.sumsPath, tree + HttpSumsPath(source.sha256Hex), &added, error)) return false;
        counts->newTables += added;
    }
    return true;
}

std::size_t PruneHttpObjects(const std::string& root, std::vector<std::string>* warnings)
{
    const std::string tree = root + "/" + kHttpTreeFolder;
    std::set<std::string> kept;
    if (!IsDirectory(tree) || !KeptNames(root, &kept, warnings)) return 0;
    std::size_t removed = 0;
    bool ok = false;
    for (const char* kind : {"objects", "sums"}) {
        for (const std::string& prefix : SortedNames(tree + "/" + kind, &ok)) {
            const std::string folder = tree + "/" + kind + "/" + prefix;
            for (const std::string& name : SortedNames(folder, &ok)) {
                // Under the lock, anything else there is a leftover copy of an
                // interrupted build.
                if (IsSha256Hex(name) && kept.count(name) != 0) continue;
                if (unlink((folder + "/" + name).c_str()) == 0 && IsSha256Hex(name)) ++removed;
            }
            rmdir(folder.c_str());  // only once empty
        }
    }
    return removed;
}
