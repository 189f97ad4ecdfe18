#include "package_catalog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "list_format.h"
#include "package_codec.h"
#include "package_manifest.h"

struct PackageCatalog::Package {
    std::string name;
    uint16_t id = 0;
    int dirFd = -1;
    int cmsFd = -1;
    // Serial i is files[i - 1]: a path below the build folder, empty when the
    // record cannot be served.
    std::vector<std::string> files;

    ~Package()
    {
        if (cmsFd >= 0) close(cmsFd);
        if (dirFd >= 0) close(dirFd);
    }
};

namespace {

// A list path names a file below its tree; ".." or empty parts would let a
// crafted list reach outside it.
bool StaysBelowTree(const std::string& path)
{
    if (path.size() < 2 || path[0] != '/') return false;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

bool ReadAll(int fd, std::string* bytes)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bytes->assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes->size()) {
        ssize_t got = pread(fd, &(*bytes)[done], bytes->size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
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

    std::map<std::string, uint16_t> byName;
    std::map<uint16_t, std::unique_ptr<Package>> byId;
    for (const ManifestEntry& entry : entries) {
        auto package = std::make_unique<Package>();
        package->name = entry.name;
        package->id = entry.id;
        // The build is opened through its link once, so every later read comes
        // from this build even while make-package switches to a newer one.
        package->dirFd = open((root_ + "/" + entry.name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::string cmsName = entry.name + ".cms";
        if (package->dirFd >= 0) package->cmsFd = openat(package->dirFd, cmsName.c_str(), O_RDONLY | O_CLOEXEC);
        if (package->cmsFd < 0) package->cmsFd = open((root_ + "/" + cmsName).c_str(), O_RDONLY | O_CLOEXEC);

        std::string packageBytes;
        std::string list;
        if (package->cmsFd < 0 || !ReadAll(package->cmsFd, &packageBytes)) {
            messages->push_back("package " + entry.name + ": cannot read " + cmsName);
        } else if (!InflatePackage(packageBytes, kMaxListBytes, &list)) {
            messages->push_back("package " + entry.name + ": " + cmsName + " does not inflate into " +
                                std::to_string(kMaxListBytes) + " bytes");
        } else {
            for (const ListRecord& record : ParseListRecords(list, kMaxListFiles + 1)) {
                if (StaysBelowTree(record.path)) {
                    package->files.push_back((record.system ? "system" : "files") + record.path);
                } else {
                    messages->push_back("package " + entry.name + ": record " + record.path + " is not served");
                    package->files.emplace_back();
                }
            }
            if (package->dirFd < 0 && !package->files.empty()) {
                messages->push_back("package " + entry.name + ": no folder " + root_ + "/" + entry.name);
            }
        }
        messages->push_back("package " + entry.name + " number " + std::to_string(entry.id) + ": " +
                            std::to_string(package->files.size()) + " files");
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

std::size_t PackageCatalog::fileCount(uint16_t packageId) const
{
    auto found = byId_.find(packageId);
    return found == byId_.end() ? 0 : found->second->files.size();
}

int PackageCatalog::OpenServedFile(uint16_t packageId, uint16_t serial, unsigned long long* size) const
{
    auto found = byId_.find(packageId);
    if (found == byId_.end()) return -1;
    const Package& package = *found->second;
    int fd = -1;
    if (serial == 0) {
        if (package.cmsFd >= 0) fd = fcntl(package.cmsFd, F_DUPFD_CLOEXEC, 0);
    } else if (serial <= package.files.size() && !package.files[serial - 1].empty() && package.dirFd >= 0) {
        fd = openat(package.dirFd, package.files[serial - 1].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    *size = static_cast<unsigned long long>(st.st_size);
    return fd;
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
