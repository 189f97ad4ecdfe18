#include "worker/decide_downloads.h"

#include <cstring>
#include <string>
#include <vector>

#include "files/digest_pool.h"
#include "files/record_index.h"
#include "log/update_log.h"
#include "run/run_state.h"
#include "worker/signed_build.h"
#include "worker/stop_test.h"

namespace {

uint32_t pathDigestHash(const UpdateListEntry& entry) {
    return HashText(entry.md5, HashText(entry.path));
}

// The copy a record may be taken from: the one an unfinished run staged,
// and on a first run (a repair too) the installed one when nothing is
// staged, since a staged copy with another digest was meant to replace it.
CopyCheck checkFor(const UpdateListEntry& entry, const char* gameStaging, const char* systemStaging,
                   bool firstRun, const BuildManifestFile* signedAs) {
    const RunState& run = g_RunState;
    CopyCheck check;
    check.paths[0] = std::string(entry.systemFile == 0 ? gameStaging : systemStaging) + entry.path;
    if (firstRun) check.paths[1] = std::string(entry.systemFile == 0 ? run.gameDir : run.systemDir) + entry.path;
    std::memcpy(check.md5, entry.md5, sizeof check.md5);
    // With a signed build only the signed SHA-256 says that a copy on disk
    // is the listed file; the MD5 alone no longer resists a made collision.
    if (signedAs != nullptr) {
        check.signedBuild = true;
        std::memcpy(check.sha256, signedAs->sha256, sizeof check.sha256);
    }
    return check;
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

    std::vector<CopyCheck> checks;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (entry.needsDownload) {
            checks.push_back(checkFor(entry, gameStaging, systemStaging, firstRun, signedEntryOf(i)));
        }
    }
    // The files are read a few at once; the decisions and their log lines
    // stay here, in the list's order.
    DigestPool pool(&checks);
    std::size_t next = 0;
    for (int32_t i = 0; i < run.newCount; ++i) {
        UpdateListEntry& entry = run.newList[i];
        sources[i] = entry.needsDownload ? kSourceFetch : kSourceInPlace;
        if (!entry.needsDownload) continue;
        const std::size_t at = next++;
        if (!pool.await(at, stopTest)) return false;
        const CopyCheck& check = checks[at];
        if (check.opened == 0 && check.matches) {
            takeFromStaging(entry, &sources[i]);
        } else if (check.opened == 1 && check.matches) {
            entry.needsDownload = false;
            sources[i] = kSourceInPlace;
        }
    }
    return true;
}
