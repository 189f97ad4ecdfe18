#include "package_build.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/build_manifest.h"
#include "build_extras.h"
#include "files/md5.h"
#include "list_format.h"
#include "package_codec.h"
#include "platform/crypto.h"

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

// The size of a regular file at dirFd (or at an absolute path), -1 when there is none.
long long RegularFileSize(int dirFd, const std::string& path)
{
    struct stat st;
    if (fstatat(dirFd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

// A build is signed when make-package left both files and their sizes can be
// a manifest and its signature; half a signature is an operator's mistake
// worth one line, a build without either is simply not signed.
void FindSignedManifest(PackageBuild* build, const std::string& root, std::vector<std::string>* messages)
{
    if (build->dirFd < 0) return;
    std::string manifest = build->name + ".manifest", signature = build->name + ".sig";
    if (build->generation == 0 && RegularFileSize(build->dirFd, manifest) < 0 &&
        RegularFileSize(build->dirFd, signature) < 0) {
        manifest = root + "/" + manifest;
        signature = root + "/" + signature;
    }
    const long long manifestSize = RegularFileSize(build->dirFd, manifest);
    const long long signatureSize = RegularFileSize(build->dirFd, signature);
    if (manifestSize < 0 && signatureSize < 0) return;
    if (manifestSize <= 0 || manifestSize > static_cast<long long>(kBuildManifestMaxBytes) ||
        signatureSize != static_cast<long long>(platform::kP256SignatureBytes)) {
        messages->push_back("package " + build->name + ": " + build->label() + " is served as not signed: " +
                            build->name + ".manifest has " + std::to_string(manifestSize) + " bytes, " +
                            build->name + ".sig " + std::to_string(signatureSize) + " (-1: missing)");
        build->signing = Signing::Half;
        return;
    }
    build->manifestPath = manifest;
    build->signaturePath = signature;
    build->manifestBytes = static_cast<uint32_t>(manifestSize);
    build->signatureBytes = static_cast<uint16_t>(signatureSize);
    build->signing = Signing::Yes;
}

// The marks make-package left; nothing marked when there are none.
std::vector<bool> ReadDeflateMarks(int dirFd, std::size_t records)
{
    std::vector<bool> marks(records + 1, false);
    const int fd = dirFd >= 0 ? openat(dirFd, kDeflateListName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
    std::string text;
    const bool read = fd >= 0 && ReadAll(fd, &text);
    if (fd >= 0) close(fd);
    if (!read) return marks;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const unsigned long serial = std::strtoul(text.substr(at, end - at).c_str(), nullptr, 10);
        if (serial > 0 && serial <= records) marks[serial] = true;
        at = end + 1;
    }
    return marks;
}

}  // namespace

bool IsSumsSerial(uint16_t serial)
{
    return (serial & wire::kBlockSumsSerialBit) != 0 && serial != wire::kManifestSerial &&
           serial != wire::kSignatureSerial && serial != wire::kMirrorListSerial;
}

const char* SigningLabel(Signing signing)
{
    return signing == Signing::Yes ? "yes" : signing == Signing::Half ? "half" : "no";
}

PackageBuild::~PackageBuild()
{
    if (cmsFd >= 0) close(cmsFd);
    if (dirFd >= 0) close(dirFd);
}

std::string PackageBuild::label() const
{
    std::string text = "build " + (generation > 0 ? std::to_string(generation) : std::string("-"));
    if (hasDigest) {
        char hex[33];
        Md5ToHex(listDigest, hex);
        text += " list " + std::string(hex, 32);
    }
    return text;
}

bool PackageBuild::removed() const
{
    // A removed folder keeps no link to itself.
    struct stat st;
    return dirFd < 0 || fstat(dirFd, &st) != 0 || st.st_nlink == 0;
}

int PackageBuild::OpenFile(uint16_t serial, unsigned long long* size) const
{
    int fd = -1;
    unsigned long long expected = 0;
    if (serial == wire::kManifestSerial || serial == wire::kSignatureSerial) {
        const bool manifest = serial == wire::kManifestSerial;
        const std::string& path = manifest ? manifestPath : signaturePath;
        expected = manifest ? manifestBytes : signatureBytes;
        if (!path.empty() && dirFd >= 0) fd = openat(dirFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } else if (serial == 0) {
        if (cmsFd >= 0) fd = fcntl(cmsFd, F_DUPFD_CLOEXEC, 0);
        if (cmsFd < 0 && dirFd >= 0) fd = openat(dirFd, (name + ".cms").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } else if (IsSumsSerial(serial)) {
        const uint16_t record = serial & ~wire::kBlockSumsSerialBit;
        if (hasSums && record >= 1 && record <= files.size() && !files[record - 1].empty() && dirFd >= 0) {
            fd = openat(dirFd, SumsPathOf(record).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        }
    } else if (serial <= files.size() && !files[serial - 1].empty() && dirFd >= 0) {
        fd = openat(dirFd, files[serial - 1].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) return -1;
    struct stat st;
    // A manifest whose size is no longer the offered one would be refused
    // by every client; a refusal now says so sooner.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (expected != 0 && static_cast<unsigned long long>(st.st_size) != expected)) {
        close(fd);
        return -1;
    }
    *size = static_cast<unsigned long long>(st.st_size);
    return fd;
}

int PackageBuild::OpenDeflated(uint16_t serial) const
{
    if (!Deflates(serial) || dirFd < 0) return -1;
    return openat(dirFd, DeflatedPathOf(serial).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

std::string CurrentBuildFolder(const std::string& root, const std::string& name, long* generation)
{
    *generation = 0;
    char target[PATH_MAX];
    const ssize_t length = readlink((root + "/" + name).c_str(), target, sizeof target - 1);
    if (length <= 0) return name;
    const std::string text(target, static_cast<std::size_t>(length));
    const std::string prefix = ".store/" + name + "/";
    const std::string number = text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : "";
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) {
        return name;
    }
    // The link is read once and the folder it named opened by that name, so
    // the number and the files belong to the same build even while the link
    // moves on.
    *generation = std::atol(number.c_str());
    return text;
}

std::shared_ptr<PackageBuild> LoadBuild(const std::string& root, const std::string& folder, const std::string& name,
                                        uint16_t id, long generation, std::vector<std::string>* messages,
                                        bool held)
{
    auto build = std::make_shared<PackageBuild>();
    build->name = name;
    build->id = id;
    build->generation = generation;
    build->dirFd = open((root + "/" + folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (build->dirFd >= 0 && fstat(build->dirFd, &st) == 0) {
        build->device = st.st_dev;
        build->inode = st.st_ino;
    }
    const std::string cmsName = name + ".cms";
    if (build->dirFd >= 0) build->cmsFd = openat(build->dirFd, cmsName.c_str(), O_RDONLY | O_CLOEXEC);
    if (build->cmsFd < 0 && generation == 0) build->cmsFd = open((root + "/" + cmsName).c_str(), O_RDONLY | O_CLOEXEC);

    std::string packageBytes;
    std::string list;
    if (build->cmsFd < 0 || !ReadAll(build->cmsFd, &packageBytes)) {
        messages->push_back("package " + name + ": cannot read " + cmsName);
        return build;
    }
    if (!InflatePackage(packageBytes, kMaxListBytes, &list)) {
        messages->push_back("package " + name + ": " + cmsName + " does not inflate into " +
                            std::to_string(kMaxListBytes) + " bytes");
        return build;
    }
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, reinterpret_cast<const uint8_t*>(list.data()), list.size());
    Md5Final(build->listDigest, &context);
    build->hasDigest = true;
    for (const ListRecord& record : ParseListRecords(list, kMaxListFiles + 1)) {
        if (StaysBelowTree(record.path)) {
            build->files.push_back((record.system ? "system" : "files") + record.path);
        } else {
            messages->push_back("package " + name + ": record " + record.path + " is not served");
            build->files.emplace_back();
        }
    }
    FindSignedManifest(build.get(), root, messages);
    struct stat sums;
    build->hasSums = build->dirFd >= 0 && fstatat(build->dirFd, kSumsFolder, &sums, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISDIR(sums.st_mode);
    build->deflates = ReadDeflateMarks(build->dirFd, build->files.size());
    if (build->dirFd < 0 && !build->files.empty()) {
        messages->push_back("package " + name + ": no folder " + root + "/" + folder);
    }
    if (!held && generation > 0 && build->dirFd >= 0) {
        close(build->cmsFd);
        build->cmsFd = -1;
    }
    return build;
}
