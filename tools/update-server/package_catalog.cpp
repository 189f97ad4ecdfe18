#include "package_catalog.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package_manifest.h"

namespace {

// The numbered build folders make-package keeps under .store/NAME, newest first.
std::vector<long> StoredGenerations(const std::string& root, const std::string& name)
{
    std::vector<long> generations;
    if (DIR* dir = opendir((root + "/.store/" + name).c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string folder = entry->d_name;
            if (folder.empty() || folder.size() > 9 || folder.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            generations.push_back(std::atol(folder.c_str()));
        }
        closedir(dir);
    }
    std::sort(generations.rbegin(), generations.rend());
    return generations;
}

}  // namespace

bool PackageCatalog::Signature::operator==(const Signature& o) const
{
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size && seconds == o.seconds &&
           nanoseconds == o.nanoseconds;
}

PackageCatalog::PackageCatalog(std::string root) : root_(std::move(root)) {}

PackageCatalog::~PackageCatalog() = default;

bool PackageCatalog::Refresh(std::vector<std::string>* messages)
{
    const std::string manifestPath = root_ + "/" + kManifestFileName;
    Signature now;
    struct stat st;
    if (stat(manifestPath.c_str(), &st) == 0) {
        now.exists = true;
        now.device = st.st_dev;
        now.inode = st.st_ino;
        now.size = static_cast<unsigned long long>(st.st_size);
        now.seconds = st.st_mtim.tv_sec;
        now.nanoseconds = st.st_mtim.tv_nsec;
    }
    if (loaded_ && now == signature_) return false;
    signature_ = now;
    loaded_ = true;

    std::vector<ManifestEntry> entries;
    std::string error;
    if (!ReadManifest(manifestPath, &entries, &error)) {
        messages->push_back(error + "; the packages served so far stay");
        return false;
    }

    // A numbered build already open (the same folder) is taken over as it
    // is, since make-package never changes one: the connections that hold it
    // and the new catalogue share one object. A folder laid out by hand may
    // have changed and is read again.
    std::map<std::pair<unsigned long long, unsigned long long>, std::shared_ptr<const PackageBuild>> opened;
    for (const auto& entry : byId_) {
        if (entry.second.current) opened[{entry.second.current->device, entry.second.current->inode}] = entry.second.current;
        for (const auto& build : entry.second.older) opened[{build->device, build->inode}] = build;
    }
    auto obtain = [&](const std::string& folder, const ManifestEntry& entry, long generation,
                      std::vector<std::string>* found, bool held) -> std::shared_ptr<const PackageBuild> {
        struct stat folderStat;
        if (generation > 0 && stat((root_ + "/" + folder).c_str(), &folderStat) == 0) {
            auto known = opened.find({static_cast<unsigned long long>(folderStat.st_dev),
                                    static_cast<unsigned long long>(folderStat.st_ino)});
            if (known != opened.end() && known->second->id == entry.id && known->second->name == entry.name &&
                known->second->generation == generation) {
                return known->second;
            }
        }
        return LoadBuild(root_, folder, entry.name, entry.id, generation, found, held);
    };

    std::map<std::string, uint16_t> byName;
    std::map<uint16_t, Package> byId;
    for (const ManifestEntry& entry : entries) {
        Package package;
        long generation = 0;
        const std::string folder = CurrentBuildFolder(root_, entry.name, &generation);
        package.current = obtain(folder, entry, generation, messages, true);
        for (long older : StoredGenerations(root_, entry.name)) {
            if (generation == 0 || older == generation) continue;
            std::vector<std::string> ignored;
            auto build = obtain(".store/" + entry.name + "/" + std::to_string(older), entry, older, &ignored, false);
            if (build->hasDigest) package.older.push_back(build);
        }
        std::string kept;
        for (const auto& build : package.older) kept += (kept.empty() ? "" : ", ") + std::to_string(build->generation);
        messages->push_back("package " + entry.name + " number " + std::to_string(entry.id) + ": " +
                            std::to_string(package.current->files.size()) + " files, " + package.current->label() +
                            (package.current->signatureBytes != 0 ? ", signed" : "") +
                            (kept.empty() ? "" : "; older builds kept: " + kept));
        byName[entry.name] = entry.id;
        byId[entry.id] = std::move(package);
    }
    byName_.swap(byName);
    byId_.swap(byId);
    ++generation_;
    return true;
}

uint16_t PackageCatalog::FindPackage(const std::string& name) const
{
    auto found = byName_.find(name);
    return found == byName_.end() ? kUnknownPackageId : found->second;
}

std::shared_ptr<const PackageBuild> PackageCatalog::CurrentBuild(uint16_t packageId) const
{
    auto found = byId_.find(packageId);
    return found == byId_.end() ? nullptr : found->second.current;
}

std::shared_ptr<const PackageBuild> PackageCatalog::FindBuild(uint16_t packageId, uint32_t tag) const
{
    auto found = byId_.find(packageId);
    if (found == byId_.end()) return nullptr;
    const Package& package = found->second;
    if (package.current->hasDigest && package.current->tag() == tag && !package.current->removed()) {
        return package.current;
    }
    for (const auto& build : package.older) {
        if (build->tag() == tag && !build->removed()) return build;
    }
    return nullptr;
}

std::vector<std::shared_ptr<const PackageBuild>> PackageCatalog::Builds() const
{
    std::vector<std::shared_ptr<const PackageBuild>> builds;
    for (const auto& entry : byId_) {
        if (entry.second.current) builds.push_back(entry.second.current);
        builds.insert(builds.end(), entry.second.older.begin(), entry.second.older.end());
    }
    return builds;
}

std::string PackageCatalog::BuildLabel(uint16_t packageId) const
{
    auto build = CurrentBuild(packageId);
    return build ? build->label() : std::string();
}

std::size_t PackageCatalog::descriptorsHeld() const
{
    std::size_t held = 0;
    auto count = [&](const PackageBuild& build) { held += (build.dirFd >= 0) + (build.cmsFd >= 0); };
    for (const auto& entry : byId_) {
        if (entry.second.current) count(*entry.second.current);
        for (const auto& build : entry.second.older) count(*build);
    }
    return held;
}

std::size_t PackageCatalog::fileCount(uint16_t packageId) const
{
    auto build = CurrentBuild(packageId);
    return build ? build->files.size() : 0;
}

int PackageCatalog::OpenServedFile(uint16_t packageId, uint16_t serial, unsigned long long* size) const
{
    auto build = CurrentBuild(packageId);
    return build ? build->OpenFile(serial, size) : -1;
}

ChunkAnswer MeasureServedPiece(unsigned long long size, uint32_t offset, std::size_t maxPayload)
{
    ChunkAnswer answer;
    if (offset > size) return answer;
    const unsigned long long left = size - offset;
    answer.payloadBytes = left < maxPayload ? static_cast<std::size_t>(left) : maxPayload;
    answer.flag = answer.payloadBytes == left ? 2 : 1;
    return answer;
}

ChunkAnswer ReadServedPiece(int fd, unsigned long long size, uint32_t offset, std::size_t maxPayload,
                            uint8_t* payload)
{
    const ChunkAnswer answer = MeasureServedPiece(size, offset, maxPayload);
    const std::size_t want = answer.payloadBytes;
    std::size_t done = 0;
    while (done < want) {
        ssize_t got = pread(fd, payload + done, want - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    // The file shrank under us: better a refusal than a short file.
    if (done < want) return ChunkAnswer();
    return answer;
}

ChunkAnswer PackageCatalog::ReadChunk(uint16_t packageId, uint16_t serial, uint32_t offset, std::size_t maxPayload,
                                      uint8_t* payload) const
{
    unsigned long long size = 0;
    int fd = OpenServedFile(packageId, serial, &size);
    if (fd < 0) return ChunkAnswer();
    ChunkAnswer answer = ReadServedPiece(fd, size, offset, maxPayload, payload);
    close(fd);
    return answer;
}
