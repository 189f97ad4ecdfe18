#include "worker/decide_downloads.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "files/md5.h"
#include "files/record_index.h"
#include "log/update_log.h"
#include "platform/crypto.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "worker/signed_build.h"
#include "worker/stop_test.h"

namespace {

uint32_t pathDigestHash(const UpdateListEntry& entry) {
    return HashText(entry.md5, HashText(entry.path));
}

bool digestMatches(const char* path, const char* md5) {
    uint8_t digest[16] = {};
    char text[33];
    Md5File(path, digest);
    Md5ToHex(digest, text);
    return std::strcmp(text, md5) == 0;
}

bool canOpen(const char* path) {
    std::FILE* file = platform::openFile(path, "r");
    if (!file) return false;
    std::fclose(file);
    return true;
}

// Both digests in one read of the file, as a transfer takes them.
bool signedDigestsMatch(const char* path, const char* md5, const BuildManifestFile& signedAs) {
    std::FILE* file = platform::openFile(path, "rb");
    if (!file) return false;
    Md5Context context;
    Md5Init(&context);
    platform::Sha256 sha256;
    static uint8_t buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        Md5Update(&context, buffer, got);
        sha256.update(buffer, got);
    }
    const bool readWhole = std::ferror(file) == 0;
    std::fclose(file);
    uint8_t digest[16];
    uint8_t sha[platform::kSha256Bytes];
    char text[33];
    Md5Final(digest, &context);
    Md5ToHex(digest, text);
    return sha256.finish(sha) && readWhole && std::strcmp(text, md5) == 0 &&
           std::memcmp(sha, signedAs.sha256, sizeof sha) == 0;
}

// With a signed build only the signed SHA-256 says that a copy on disk is
// the listed file; the MD5 alone no longer resists a made collision.
bool copyMatches(const char* path, const UpdateListEntry& entry, const BuildManifestFile* signedAs) {
    return signedAs != nullptr ? signedDigestsMatch(path, entry.md5, *signedAs) : digestMatches(path, entry.md5);
}

enum class StagedCopy { kAbsent, kMatches, kDiffers };

// With a signed build, a staged copy counts only with the signed SHA-256: a
// copy that an unsigned or hostile server left is fetched again.
StagedCopy stagedCopy(const char* gameStaging, const char* systemStaging,
                      const UpdateListEntry& entry, const BuildManifestFile* signedAs) {
    char staged[512];
    std::snprintf(staged, sizeof staged, "%s%s",
                  entry.systemFile == 0 ? gameStaging : systemStaging, entry.path);
    if (!canOpen(staged)) return StagedCopy::kAbsent;
    return copyMatches(staged, entry, signedAs) ? StagedCopy::kMatches : StagedCopy::kDiffers;
}

// A first run (a repair too) keeps what is on disk only when it is the
// listed file.
bool installedCopyMatches(const UpdateListEntry& entry, const BuildManifestFile* signedAs) {
    const RunState& run = g_RunState;
    char installed[512];
    std::snprintf(installed, sizeof installed, "%s%s",
                  entry.systemFile == 0 ? run.gameDir : run.systemDir, entry.path);
    return canOpen(installed) && copyMatches(installed, entry, signedAs);
}

void takeFromStaging(UpdateListEntry& entry, RecordSource* source) {
    entry.needsDownload = false;
    *source = kSourceStaged;
    g_UpdateLog.write("%s已在暂存目录中,不再下载", entry.path);
}

}  // namespace

bool matchInstalledRecords(const UpdateListEntry* installed, int32_t installedCount,
                           UpdateListEntry* fresh, int32_t freshCount, bool (*stop)()) {
    std::vector<uint32_t> hashes(static_cast<std::size_t>(installedCount > 0 ? installedCount : 0));
    for (std::size_t j = 0; j < hashes.size(); ++j) hashes[j] = pathDigestHash(installed[j]);
    RecordIndex index;
    index.build(hashes.data(), static_cast<int32_t>(hashes.size()));

    for (int32_t i = 0; i < freshCount; ++i) {
        if (stop()) return false;
        UpdateListEntry& entry = fresh[i];
        uint32_t hash = pathDigestHash(entry);
        for (int32_t j = index.first(hash); j >= 0; j = index.next(j)) {
            if (hashes[static_cast<std::size_t>(j)] == hash &&
                std::strcmp(installed[j].md5, entry.md5) == 0 &&
                std::strcmp(installed[j].path, entry.path) == 0) {
                entry.needsDownload = false;
                break;
            }
        }
    }
    return true;
}

bool decideDownloads(const char* gameStaging, const char* systemStaging, RecordSource* sources) {
    RunState& run = g_RunState;
    bool firstRun = run.installedCount == 0;
    if (!firstRun &&
        !matchInstalledRecords(run.installedList, run.installedCount, run.newList, run.newCount,
                               stopTest)) {
        return false;
    }

    for (int32_t i = 0; i < run.newCount; ++i) {
        UpdateListEntry& entry = run.newList[i];
        sources[i] = entry.needsDownload ? kSourceFetch : kSourceInPlace;
        if (!entry.needsDownload) continue;
        if (stopTest()) return false;
        // A copy that an unfinished run staged and that has the listed digest
        // is as good as a fresh transfer; on a first run a staged copy with
        // another digest also outranks a matching installed copy, since it
        // was meant to replace it.
        StagedCopy staged = stagedCopy(gameStaging, systemStaging, entry, signedEntryOf(i));
        if (staged == StagedCopy::kMatches) {
            takeFromStaging(entry, &sources[i]);
        } else if (firstRun && staged == StagedCopy::kAbsent && installedCopyMatches(entry, signedEntryOf(i))) {
            entry.needsDownload = false;
            sources[i] = kSourceInPlace;
        }
    }
    return true;
}
