#include "worker/install_stage.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "files/file_names.h"
#include "files/mirror_tree.h"
#include "log/update_log.h"
#include "net/deflated_reply.h"
#include "net/fast_mode.h"
#include "net/file_transfer.h"
#include "net/http_fetch.h"
#include "net/server_link.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/decide_downloads.h"
#include "worker/disk_check.h"
#include "worker/patch_plans.h"
#include "worker/promote_update.h"
#include "worker/signed_build.h"
#include "worker/stop_test.h"

namespace {

// What the tables of plans made by weak sums may take in all: 8 MiB holds
// those of 32 files of 200 MB, or of 400 files of 1 MB.
constexpr uint64_t kWeakPlanTableBytes = 8u << 20;

struct StagePaths {
    char gameStaging[256];
    char systemStaging[256];
};

// Without a system directory a system file would land at the root of the
// drive (\x.dll), and the install target, the directory and a separator,
// must fit its 256 bytes.
bool systemFilesHaveATarget() {
    const RunState& run = g_RunState;
    if (run.systemDir[0] != '\0' && std::strlen(run.systemDir) + 1 < sizeof run.systemDir) {
        return true;
    }
    for (int32_t i = 0; i < run.newCount; ++i) {
        if (run.newList[i].systemFile != 0) {
            g_UpdateLog.write("没有可用的系统目录,无法安装系统文件%s", run.newList[i].path);
            return false;
        }
    }
    return true;
}

bool fillDownloadTable() {
    RunState& run = g_RunState;
    int32_t rows = 0;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (!entry.needsDownload) continue;
        DownloadTableEntry& row = run.downloadTable[rows++];
        std::snprintf(row.name, sizeof row.name, "%s", entry.path);
        row.size = entry.size;
        run.wei = static_cast<int32_t>(static_cast<uint32_t>(run.wei) + static_cast<uint32_t>(entry.size));
        if (stopTest()) return false;
    }
    notifyHostGuarded(AU_MSG_FILE_TABLE, static_cast<uintptr_t>(rows),
                      reinterpret_cast<intptr_t>(run.downloadTable));
    return true;
}

// The server-side and staged names of a listed file.
void transferNames(const UpdateListEntry& entry, char* remoteName, char* localName, std::size_t size) {
    const RunState& run = g_RunState;
    char localPath[180];
    std::snprintf(localPath, sizeof localPath, "%s", entry.path);
    for (char* c = localPath; *c; ++c) {
        if (*c == '/') *c = '\\';
    }
    if (entry.systemFile == 0) {
        std::snprintf(remoteName, size, "%s%s", run.serverPackageName, localPath);
        std::snprintf(localName, size, "%s%s", run.packageName, localPath);
    } else {
        std::snprintf(remoteName, size, "%sSystem%s", run.serverPackageName, localPath);
        std::snprintf(localName, size, "%s%s", run.systemPackageName, localPath);
    }
}

// zlib.DLL for the fetch stage: deflated replies are asked for only while
// it is loaded.
struct FetchInflater {
    platform::Library zlib = platform::loadLibrary("zlib.DLL");
    FetchInflater() {
        if (zlib != nullptr) setReplyInflater(reinterpret_cast<InflateFn>(platform::findSymbol(zlib, "uncompress")));
    }
    ~FetchInflater() {
        setReplyInflater(nullptr);
        if (zlib != nullptr) platform::freeLibrary(zlib);
    }
};

// The signed build's files come from its HTTP mirrors where the server names
// any: each is named there by its SHA-256 in the manifest. True when they do.
bool planFromMirrors(const std::vector<PlannedTransfer>& plan) {
    if (!mirrorsInUse() || plan.empty()) return false;
    std::vector<MirrorPlanned> files;
    for (const PlannedTransfer& file : plan) {
        const BuildManifestFile* signedAs = signedEntryOf(file.serial - 1);
        if (signedAs == nullptr) return false;
        files.push_back({file, {}});
        std::memcpy(files.back().sha256, signedAs->sha256, sizeof files.back().sha256);
    }
    planMirrorFetches(files);
    return mirrorsInUse();
}

// However the fetch loop ends, the mirrors' helper threads end with it.
struct HelpersEnd {
    HelpersEnd() = default;
    ~HelpersEnd() { endMirrorFetches(); }
};

bool fetchFiles(const RecordSource* sources) {
    RunState& run = g_RunState;
    char remoteName[512];
    char localName[512];
    FetchInflater inflater;
    const std::size_t records = static_cast<std::size_t>(run.newCount > 0 ? run.newCount : 0);
    // A file that a stop, a kill or a lost connection cut short goes on from
    // the bytes already staged; a changed file with none is built from its
    // installed copy where the server publishes its block table.
    std::vector<uint32_t> resumeAt(records, 0);
    std::vector<std::vector<PatchStep>> patches(records);
    // The tables of plans made by weak sums, by record, kept for a plan made
    // again with both sums; at most kWeakPlanTableBytes in all, as a patch
    // day may change thousands of files. Beyond that, plans match both sums.
    std::map<std::size_t, BlockSums> weakTables;
    uint64_t tableBytes = 0;
    std::vector<bool> patched(records, false);
    std::vector<PlannedTransfer> plan;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (!entry.needsDownload) continue;
        transferNames(entry, remoteName, localName, sizeof remoteName);
        resumeAt[static_cast<std::size_t>(i)] = resumableBytes(localName, "Update\\", listedBytes(entry.size));
    }
    // Nothing is asked of the server, not even a block table, for a run
    // that could not store it.
    if (!diskSpaceSuffices(resumeAt.data(), sources)) return true;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (!entry.needsDownload) continue;
        const std::size_t at = static_cast<std::size_t>(i);
        const uint16_t serial = static_cast<uint16_t>(i + 1);
        // A stop is answered by the fetch loop; until then no more plans.
        const uint32_t tableCost = MaxBlockSumsBytes(listedBytes(entry.size));
        const bool keepTable = tableBytes + tableCost <= kWeakPlanTableBytes;
        BlockSums table;
        patched[at] = resumeAt[at] == 0 && !run.stopRequested &&
                      planPatchedFile(entry, serial, &patches[at], keepTable ? &table : nullptr);
        if (patched[at] && keepTable) {
            tableBytes += tableCost;
            weakTables.emplace(at, std::move(table));
        }
        if (!patched[at]) {
            plan.push_back({serial, listedBytes(entry.size), resumeAt[at]});
            continue;
        }
        PlannedTransfer ranges{serial, listedBytes(entry.size), 0};
        for (const PatchStep& step : patches[at]) {
            if (!step.copy) ranges.ranges.push_back({step.at, step.at + step.length});
        }
        // A file copied whole from its installed copy asks for nothing.
        if (!ranges.ranges.empty()) plan.push_back(ranges);
    }
    planTransfers(plan.data(), plan.size());
    const HelpersEnd helpersEnd;
    if (planFromMirrors(plan)) parkLink();

    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (!entry.needsDownload) continue;
        transferNames(entry, remoteName, localName, sizeof remoteName);

        std::snprintf(run.currentFile, sizeof run.currentFile, "%s", entry.path);
        notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_FILE, reinterpret_cast<intptr_t>(run.currentFile));
        if (stopTest()) return false;
        // The serial is the record's place in the list, counted from 1.
        // A file that arrives with another digest fails its transfer there.
        const std::size_t at = static_cast<std::size_t>(i);
        char basisPath[512];
        installedPath(entry, basisPath, sizeof basisPath);
        const auto kept = weakTables.find(at);
        const PatchSource patch{basisPath, &patches[at], kept != weakTables.end() ? &kept->second : nullptr};
        downloadFile(remoteName, localName, "Update\\", i + 1, listedBytes(entry.size), entry.md5, resumeAt[at],
                     signedEntryOf(i), patched[at] ? &patch : nullptr);
        if (run.diskFull) break;
    }
    // Only our own server's fast mode saves anything; the host counts whole KiB.
    if (run.bytesSaved >= 1024) notifyHost(AU_MSG_STATUS, AU_STATUS_BYTES_SAVED, static_cast<intptr_t>(run.bytesSaved / 1024));
    return true;
}

// One mirror install; false, with the run ended, when the user gave up on a
// file that could not be replaced.
bool mirrorInstall(const char* target, const char* source, MirrorPlan* plan) {
    RunState& run = g_RunState;
    MirrorTree(target, source, plan);
    if (run.installOk) return true;
    run.runFailed = 1;
    notifyError(AU_ERR_INSTALL);
    endRun();
    return false;
}

// The records this run must install, each marked verified unless a later
// transfer wrote the same staged file again (a list may name a path twice):
// staged copies were checked at the decision, fetched files right after
// their transfer, and nothing writes the staging tree in between. Every
// other record is in place: whatever is staged at its path was checked by
// nobody in this run (a transfer cut short, say, whose bytes only share the
// listed MD5) and must not be installed.
void markVerified(const RecordSource* sources, MirrorPlan* plan) {
    const RunState& run = g_RunState;
    int32_t count = static_cast<int32_t>(plan->marks.size());
    for (int32_t i = 0; i < count; ++i) {
        plan->marks[static_cast<std::size_t>(i)] = sources[i] != kSourceInPlace ? kMarkVerified : kMarkInPlace;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (sources[i] != kSourceFetch) continue;
        const UpdateListEntry& fetched = run.newList[i];
        uint32_t nameHash = plan->nameHashes[static_cast<std::size_t>(i)];
        for (int32_t k = plan->byName.first(nameHash); k >= 0; k = plan->byName.next(k)) {
            const UpdateListEntry& other = run.newList[k];
            bool overwritten = sources[k] == kSourceStaged || (sources[k] == kSourceFetch && k < i);
            if (k != i && overwritten && other.systemFile == fetched.systemFile &&
                SameFileName(other.path, fetched.path)) {
                plan->marks[static_cast<std::size_t>(k)] &= static_cast<uint8_t>(~kMarkVerified);
            }
        }
    }
}

// Every record fetched or taken from the staging tree in this run must be in
// place; one that was not moved (its staged copy vanished or changed, its
// destination path does not fit) leaves the run incomplete: the final report
// is 11111/5/0 and nothing is promoted, so the next run fetches it again.
bool everyRecordInstalled(const RecordSource* sources, const MirrorPlan& plan) {
    const RunState& run = g_RunState;
    bool complete = true;
    for (std::size_t i = 0; i < plan.marks.size(); ++i) {
        if (sources[i] != kSourceInPlace && (plan.marks[i] & kMarkInstalled) == 0) {
            g_UpdateLog.write("%s没有安装到位", run.newList[i].path);
            complete = false;
        }
    }
    return complete;
}

// Both mirror installs, then the digest file and the promoted list; false
// when the run is over.
bool installFiles(const RecordSource* sources) {
    RunState& run = g_RunState;
    char gameTarget[256];
    char gameSource[256];
    char systemTarget[256];
    char systemSource[256];
    std::snprintf(gameTarget, sizeof gameTarget, "%s\\", run.gameDir);
    std::snprintf(gameSource, sizeof gameSource, "%s\\%s\\%s\\", run.gameDir, "Update",
                  run.packageName);
    std::snprintf(systemTarget, sizeof systemTarget, "%s\\", run.systemDir);
    std::snprintf(systemSource, sizeof systemSource, "%s\\%s\\%s\\", run.gameDir, "Update",
                  run.systemPackageName);
    if (stopTest()) return false;
    if (run.runFailed) return true;

    MirrorPlan plan;
    markVerified(sources, &plan);
    run.installOk = 1;
    plan.systemTree = false;
    if (!mirrorInstall(gameTarget, gameSource, &plan)) return false;
    plan.systemTree = true;
    if (!mirrorInstall(systemTarget, systemSource, &plan)) return false;
    if (stopTest()) return false;

    if (!everyRecordInstalled(sources, plan) || !promoteUpdate()) run.runFailed = 1;
    return true;
}

}  // namespace

void runInstallStage(void (*beforeFinalReport)()) {
    RunState& run = g_RunState;
    StagePaths paths;
    std::snprintf(paths.gameStaging, sizeof paths.gameStaging, "%s\\%s\\%s", run.gameDir, "Update",
                  run.packageName);
    std::snprintf(paths.systemStaging, sizeof paths.systemStaging, "%s\\%s\\%s%s", run.gameDir,
                  "Update", run.packageName, "system");

    if (!systemFilesHaveATarget()) {
        notifyError(AU_ERR_NO_SYSTEM_DIR);
        endRun();
        return;
    }

    notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_LIST_READ, 0);
    if (run.installedCount == 0) notifyHost(AU_MSG_STATUS, AU_STATUS_FIRST_RUN, 0);

    static RecordSource sources[kUpdateListCapacity];
    if (!decideDownloads(paths.gameStaging, paths.systemStaging, sources) || !fillDownloadTable()) {
        return;
    }
    startSpeedReports();
    if (!fetchFiles(sources)) return;
    // A full disk ends the transfers: nothing of this run is installed.
    if (!run.diskFull) {
        notifyHost(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 0);
        if (!installFiles(sources)) return;
    }

    run.workerFinished = 1;
    if (beforeFinalReport) beforeFinalReport();
    if (!run.runFailed) {
        g_UpdateLog.write("下载好了");
        notifyHost(AU_MSG_STATUS, AU_STATUS_FINAL, 1);
    } else {
        g_UpdateLog.write("下载未完成");
        notifyHost(AU_MSG_STATUS, AU_STATUS_FINAL, 0);
    }
}
