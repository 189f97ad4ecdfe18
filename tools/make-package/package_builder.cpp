#include "package_builder.h"

#include "text_encoding.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "block_sum_table.h"
#include "build_extras.h"
#include "deflate_sample.h"
#include "files/md5.h"
#include "http_tree.h"
#include "platform/crypto.h"
#include "package_codec.h"
#include "package_links.h"
#include "package_manifest.h"
#include "tree_files.h"
#include "wire_protocol.h"

namespace {

std::string Errno() { return std::strerror(errno); }

BuildStatus Walk(const std::string& diskDir, const std::string& listDir, int system,
                 std::vector<SourceFile>* files, std::vector<std::string>* warnings, std::string* error)
{
    bool ok = false;
    std::vector<std::string> names = SortedNames(diskDir, &ok);
    if (!ok) {
        *error = "cannot read directory " + diskDir + ": " + Errno();
        return BuildStatus::Failed;
    }
    for (const std::string& name : names) {
        const std::string diskPath = diskDir + "/" + name;
        std::string listName;
        if (!ToListEncoding(name, &listName)) {
            *error = diskPath + ": the file name is not UTF-8 text that code page 936 can hold";
            return BuildStatus::Refused;
        }
        const std::string listPath = listDir + "/" + listName;
        struct stat st;
        if (lstat(diskPath.c_str(), &st) != 0) {
            *error = "cannot read " + diskPath + ": " + Errno();
            return BuildStatus::Failed;
        }
        if (S_ISLNK(st.st_mode)) {
            // A link to a file is served as that file; links to directories
            // are not followed, so a loop cannot make the walk endless.
            if (stat(diskPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                warnings->push_back("skipped " + diskPath + ": a link that does not lead to a file");
                continue;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            BuildStatus status = Walk(diskPath, listPath, system, files, warnings, error);
            if (status != BuildStatus::Built) return status;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            warnings->push_back("skipped " + diskPath + ": not a regular file");
            continue;
        }
        std::string problem = CheckListPath(listPath);
        if (!problem.empty()) {
            *error = diskPath + ": " + problem;
            return BuildStatus::Refused;
        }
        if (st.st_size > INT32_MAX) {
            *error = diskPath + ": larger than the 2147483647 bytes a list record can give";
            return BuildStatus::Refused;
        }
        files->push_back(SourceFile{diskPath, listPath, system, static_cast<int64_t>(st.st_size)});
    }
    return BuildStatus::Built;
}

class ManifestLock {
public:
    explicit ManifestLock(const std::string& root)
        : fd_(open((root + "/.packages.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~ManifestLock()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

long NextGeneration(const std::string& storeDir)
{
    bool ok = false;
    long highest = 0;
    for (const std::string& name : SortedNames(storeDir, &ok)) {
        if (name.find_first_not_of("0123456789") == std::string::npos) highest = std::max(highest, std::atol(name.c_str()));
    }
    return highest + 1;
}

}  // namespace

bool ToListEncoding(const std::string& utf8, std::string* gbk)
{
    return Recode(utf8, "UTF-8", "GBK", gbk);
}

std::string FileMd5(const std::string& path)
{
    uint8_t digest[16];
    if (!Md5File(path.c_str(), digest)) return std::string();
    char hex[33];
    Md5ToHex(digest, hex);
    return std::string(hex, 32);
}

BuildStatus CollectFiles(const std::string& dir, int system, std::vector<SourceFile>* files,
                         std::vector<std::string>* warnings, std::string* error)
{
    if (!IsDirectory(dir)) {
        *error = dir + " is not a directory";
        return BuildStatus::Refused;
    }
    return Walk(dir, std::string(), system, files, warnings, error);
}

BuildStatus BuildPackage(const PackageBuildOptions& options, PackageBuildResult* result, std::string* error)
{
    std::string problem = CheckPackageName(options.name);
    if (!problem.empty()) {
        *error = problem;
        return BuildStatus::Refused;
    }
    SigningKey signingKey;
    if (!options.signing.keyPath.empty() && !(signingKey = ReadSigningKey(options.signing.keyPath, error))) {
        return BuildStatus::Refused;
    }
    std::vector<SourceFile> files;
    BuildStatus status = CollectFiles(options.gameDir, 0, &files, &result->warnings, error);
    if (status != BuildStatus::Built) return status;
    if (!options.systemDir.empty()) {
        status = CollectFiles(options.systemDir, 1, &files, &result->warnings, error);
        if (status != BuildStatus::Built) return status;
    }
    if (files.size() > kMaxListFiles) {
        *error = std::to_string(files.size()) + " files; a package holds at most " + std::to_string(kMaxListFiles);
        return BuildStatus::Refused;
    }

    // The list's length is known before anything is copied: every md5 is 32
    // digits and the sizes come from the walk.
    std::vector<ListRecord> planned;
    for (const SourceFile& file : files) {
        planned.push_back(ListRecord{file.listPath, file.size, file.system, std::string(32, '0')});
    }
    const std::size_t plannedBytes = FormatListText(options.name, planned).size();
    if (plannedBytes > kMaxListBytes) {
        *error = "the list would be " + std::to_string(plannedBytes) + " bytes; the client inflates at most " +
                 std::to_string(kMaxListBytes);
        return BuildStatus::Refused;
    }

    // A client counts the bytes of a run in 32-bit signed counters (the bytes
    // expected and received, carried to the launcher by message 11117): a
    // first run fetches the package and every file, so all of it must fit.
    // The uncompressed list stands in for the package, which is smaller.
    int64_t runBytes = static_cast<int64_t>(plannedBytes);
    for (const SourceFile& file : files) runBytes += file.size;
    if (runBytes > INT32_MAX) {
        *error = "the files and the list add up to " + std::to_string(runBytes) +
                 " bytes; a client counts a run's bytes in 32 bits and can take at most 2147483647";
        return BuildStatus::Refused;
    }

    const std::string& root = options.outRoot;
    if (!MakeDirectories(root)) {
        *error = "cannot create " + root + ": " + Errno();
        return BuildStatus::Failed;
    }
    ManifestLock lock(root);
    if (!lock.held()) {
        *error = "cannot lock " + root + "/.packages.lock: " + Errno();
        return BuildStatus::Failed;
    }
    const std::string manifestPath = root + "/" + kManifestFileName;
    std::vector<ManifestEntry> manifest;
    if (!ReadManifest(manifestPath, &manifest, error)) return BuildStatus::Refused;
    if (!AssignPackageId(&manifest, options.name, options.forcedId, &result->packageId, error)) {
        return BuildStatus::Refused;
    }

    const std::string linkPath = root + "/" + options.name;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = linkPath + " exists and is not a package link made by this tool";
        return BuildStatus::Refused;
    }

    const std::string storeDir = root + "/" + kStoreFolder + "/" + options.name;
    const std::string buildDir = storeDir + "/build-" + std::to_string(getpid());
    RemoveTree(buildDir);
    if (!MakeDirectories(buildDir + "/files") || !MakeDirectories(buildDir + "/system") ||
        (options.blockSums && !MakeDirectories(buildDir + "/" + kSumsFolder))) {
        *error = "cannot create " + buildDir + ": " + Errno();
        return BuildStatus::Failed;
    }
    auto fail = [&](BuildStatus failure, const std::string& why) {
        RemoveTree(buildDir);
        *error = why;
        return failure;
    };

    std::vector<ListRecord> records;
    std::string deflateList;
    BuildManifest signedManifest{options.name, result->packageId};
    std::vector<HttpObjectSource> httpObjects;
    for (const SourceFile& file : files) {
        const std::string target = buildDir + (file.system ? "/system" : "/files") + file.listPath;
        std::size_t slash = target.rfind('/');
        if (!MakeDirectories(target.substr(0, slash))) {
            return fail(BuildStatus::Failed, "cannot create " + target.substr(0, slash) + ": " + Errno());
        }
        platform::Sha256 sha256;
        long long size = CopyRegularFile(file.diskPath, target, &sha256);
        if (size < 0) return fail(BuildStatus::Failed, "cannot copy " + file.diskPath + ": " + Errno());
        if (size > INT32_MAX) return fail(BuildStatus::Refused, file.diskPath + ": grew beyond 2147483647 bytes");
        std::string md5 = FileMd5(target);
        if (md5.empty()) return fail(BuildStatus::Failed, "cannot digest " + target);
        records.push_back(ListRecord{file.listPath, size, file.system, md5});
        signedManifest.files.push_back(BuildManifestFile{file.listPath, file.system != 0});
        if (!sha256.finish(signedManifest.files.back().sha256)) return fail(BuildStatus::Failed, "cannot digest " + target);
        const uint16_t serial = static_cast<uint16_t>(records.size());
        BlockSums sums;
        const bool summed = options.blockSums && size >= kMinSummedFile;
        if (summed && !(SumFile(target, &sums) && WriteBlockSums(sums, buildDir + "/" + SumsPathOf(serial)))) {
            return fail(BuildStatus::Failed, "cannot write the block sums of " + target + ": " + Errno());
        }
        if (signingKey) {
            httpObjects.push_back(HttpObjectSource{Sha256Hex(signedManifest.files.back().sha256), target,
                                                   summed ? buildDir + "/" + SumsPathOf(serial) : std::string()});
        }
        if (options.deflateMarks && size > 0 && DeflatesWell(target)) {
            // Stored once here, the chunks our client asks for cost the
            // server a copy, not a deflate, on every download.
            const std::string stored = buildDir + "/" + DeflatedPathOf(serial);
            if (!MakeDirectories(buildDir + "/" + kDeflatedFolder) ||
                !WriteDeflatedPieces(target, wire::kMaxFastChunkPayload, stored)) {
                return fail(BuildStatus::Failed, "cannot write " + stored + ": " + Errno());
            }
            deflateList += std::to_string(serial) + "\n";
        }
    }
    if (!deflateList.empty() && !WriteWholeFile(buildDir + "/" + kDeflateListName, deflateList)) {
        return fail(BuildStatus::Failed, "cannot write " + buildDir + "/" + kDeflateListName + ": " + Errno());
    }

    const std::string list = FormatListText(options.name, records);
    if (list.size() > kMaxListBytes) {
        return fail(BuildStatus::Refused, "the list is " + std::to_string(list.size()) +
                                              " bytes; the client inflates at most " +
                                              std::to_string(kMaxListBytes));
    }
    std::string package;
    if (!CompressList(list, &package)) return fail(BuildStatus::Failed, "zlib could not compress the list");
    if (package.size() > kClassicPackageBytes) {
        result->warnings.push_back("the package is " + std::to_string(package.size()) +
                                   " bytes; clients with a " + std::to_string(kClassicPackageBytes) +
                                   "-byte package buffer cannot take it");
    }
    const std::string cmsName = options.name + ".cms";
    if (!WriteWholeFile(buildDir + "/" + cmsName, package)) {
        return fail(BuildStatus::Failed, "cannot write " + buildDir + "/" + cmsName + ": " + Errno());
    }
    std::string signingError;
    if (signingKey && !SignBuild(signingKey, options.signing, root, list, buildDir, &signedManifest,
                                 &result->warnings, &signingError)) {
        return fail(BuildStatus::Failed, signingError);
    }
    SignedSequences signedBefore;
    if (!signingKey && ReadSignedSequences(root, options.name, &signedBefore, &signingError) &&
        signedBefore.highest > 0) {
        result->warnings.push_back(options.name + " was signed up to sequence " + std::to_string(signedBefore.highest) +
                                   ": players with keys refuse this build, which is not signed (--sign)");
    }

    // Mirrors get the bytes before any server offers the build that names them.
    if (signingKey && !WriteHttpObjects(root, httpObjects, &result->http, error)) {
        RemoveTree(buildDir);
        return BuildStatus::Failed;
    }

    const long generation = NextGeneration(storeDir);
    const std::string generationDir = storeDir + "/" + std::to_string(generation);
    if (rename(buildDir.c_str(), generationDir.c_str()) != 0) {
        return fail(BuildStatus::Failed, "cannot move the build to " + generationDir + ": " + Errno());
    }
    const std::string previous = LinkTarget(linkPath);
    const std::string relativeTarget = std::string(kStoreFolder) + "/" + options.name + "/" + std::to_string(generation);
    if (!SwitchLink(relativeTarget, linkPath)) {
        *error = "cannot switch " + linkPath + " to the new build: " + Errno();
        return BuildStatus::Failed;
    }
    if (!PointLink(options.name + "/" + cmsName, root + "/" + cmsName)) {
        *error = "cannot link " + root + "/" + cmsName + ": " + Errno();
        return BuildStatus::Failed;
    }
    if (signingKey && !LinkSignedManifest(root, options.name, error)) return BuildStatus::Failed;
    // Rewritten on every build: servers reload their catalogue when it changes.
    const std::string manifestTemp = manifestPath + ".tmp-" + std::to_string(getpid());
    if (!WriteWholeFile(manifestTemp, FormatManifest(manifest)) || rename(manifestTemp.c_str(), manifestPath.c_str()) != 0) {
        unlink(manifestTemp.c_str());
        *error = "cannot write " + manifestPath + ": " + Errno();
        return BuildStatus::Failed;
    }

    // Keep the newest builds: runs begun on one of them finish from it. The
    // lock makes any other build folder a leftover of an interrupted run;
    // the signed-sequence record outlives every build.
    bool ok = false;
    const std::string previousName = previous.substr(previous.rfind('/') + 1);
    std::vector<long> generations;
    for (const std::string& name : SortedNames(storeDir, &ok)) {
        if (!name.empty() && name.size() <= 9 && name.find_first_not_of("0123456789") == std::string::npos) {
            generations.push_back(std::atol(name.c_str()));
        }
    }
    std::sort(generations.rbegin(), generations.rend());
    const long kept = std::max(2L, options.keptBuilds);
    for (const std::string& name : SortedNames(storeDir, &ok)) {
        if (name == std::to_string(generation) || name == previousName || name == kSignedSequenceFile) continue;
        auto place = std::find(generations.begin(), generations.end(), std::atol(name.c_str()));
        const bool numbered = name.find_first_not_of("0123456789") == std::string::npos && place != generations.end();
        if (numbered && place - generations.begin() < kept) continue;
        RemoveTree(storeDir + "/" + name);
    }

    result->httpRemoved = PruneHttpObjects(root, &result->warnings);

    // A player of every kept build may update to this one.
    for (long older : generations) {
        const std::string dir = storeDir + "/" + std::to_string(older);
        PatchReport report;
        report.fromGeneration = older;
        if (older != generation && IsDirectory(dir) && ReportPatch(dir, generationDir, options.name, records, &report)) {
            result->patches.push_back(report);
        }
    }

    result->fileCount = records.size();
    result->listBytes = list.size();
    result->packageBytes = package.size();
    result->buildDir = generationDir;
    result->sequence = signingKey ? signedManifest.sequence : 0;
    return BuildStatus::Built;
}
