#include "worker/decide_downloads.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "files/md5.h"
#include "files/record_index.h"
#include "log/update_log.h"
#include "platform/platform.h"
#include "run/run_state.h"
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

enum class StagedCopy { kAbsent, kMatches, kDiffers };

StagedCopy stagedCopy(const char* gameStaging, const char* systemStaging,
                      const UpdateListEntry& entry) {
    char staged[512];
    std::snprintf(staged, sizeof staged, "%s%s",
                  entry.systemFile == 0 ? gameStaging : systemStaging, entry.path);
    if (!canOpen(staged)) return StagedCopy::kAbsent;
    return digestMatches(staged, entry.md5) ? StagedCopy::kMatches : StagedCopy::kDiffers;
}

bool installedCopyMatches(const UpdateListEntry& entry) {
    const RunState& run = g_RunState;
    char installed[512];
    std::snprintf(installed, sizeof installed, "%s%s",
                  entry.systemFile == 0 ? run.gameDir : run.systemDir, entry.path);
    return canOpen(installed) && digestMatches(installed, entry.md5);
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
        StagedCopy staged = stagedCopy(gameStaging, systemStaging, entry);
        if (staged == StagedCopy::kMatches) {
            takeFromStaging(entry, &sources[i]);
        } else if (firstRun && staged == StagedCopy::kAbsent && installedCopyMatches(entry)) {
            entry.needsDownload = false;
            sources[i] = kSourceInPlace;
        }
    }
    return true;
}
