#include "worker/install_stage.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "config/settings_files.h"
#include "files/md5.h"
#include "files/mirror_tree.h"
#include "log/update_log.h"
#include "net/fast_mode.h"
#include "net/file_transfer.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/stop_test.h"

namespace {

struct StagePaths {
    char gameStaging[256];
    char systemStaging[256];
};

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

// On a first run nothing says what is installed, so the files themselves
// decide: the staged copy of an earlier, unfinished run first, else the
// installed copy.
bool upToDateOnDisk(const StagePaths& paths, const UpdateListEntry& entry) {
    const RunState& run = g_RunState;
    char staged[512];
    std::snprintf(staged, sizeof staged, "%s%s",
                  entry.systemFile == 0 ? paths.gameStaging : paths.systemStaging, entry.path);
    if (canOpen(staged)) return digestMatches(staged, entry.md5);

    char installed[512];
    std::snprintf(installed, sizeof installed, "%s%s",
                  entry.systemFile == 0 ? run.gameDir : run.systemDir, entry.path);
    return canOpen(installed) && digestMatches(installed, entry.md5);
}

// Lowers needsDownload of every record that is already in place. False when
// a stop ended the run.
bool decideDownloads(const StagePaths& paths) {
    RunState& run = g_RunState;
    for (int32_t i = 0; i < run.newCount; ++i) {
        UpdateListEntry& entry = run.newList[i];
        if (run.installedCount > 0) {
            for (int32_t j = 0; j < run.installedCount; ++j) {
                if (stopTest()) return false;
                const UpdateListEntry& installed = run.installedList[j];
                if (std::strcmp(installed.md5, entry.md5) == 0 &&
                    std::strcmp(installed.path, entry.path) == 0) {
                    entry.needsDownload = false;
                    break;
                }
            }
        } else {
            if (stopTest()) return false;
            if (upToDateOnDisk(paths, entry)) entry.needsDownload = false;
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
        run.wei += entry.size;
        if (stopTest()) return false;
    }
    notifyHostGuarded(AU_MSG_FILE_TABLE, static_cast<uintptr_t>(rows),
                      reinterpret_cast<intptr_t>(run.downloadTable));
    return true;
}

bool fetchFiles() {
    RunState& run = g_RunState;
    std::vector<PlannedTransfer> plan;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (entry.needsDownload) plan.push_back({static_cast<uint16_t>(i + 1), static_cast<uint32_t>(entry.size)});
    }
    planTransfers(plan.data(), plan.size());

    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (!entry.needsDownload) continue;

        char localPath[180];
        std::snprintf(localPath, sizeof localPath, "%s", entry.path);
        for (char* c = localPath; *c; ++c) {
            if (*c == '/') *c = '\\';
        }
        char remoteName[512];
        char localName[512];
        if (entry.systemFile == 0) {
            std::snprintf(remoteName, sizeof remoteName, "%s%s", run.serverPackageName, localPath);
            std::snprintf(localName, sizeof localName, "%s%s", run.packageName, localPath);
        } else {
            std::snprintf(remoteName, sizeof remoteName, "%sSystem%s", run.serverPackageName,
                          localPath);
            std::snprintf(localName, sizeof localName, "%s%s", run.systemPackageName, localPath);
        }

        std::snprintf(run.currentFile, sizeof run.currentFile, "%s", entry.path);
        notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_FILE, reinterpret_cast<intptr_t>(run.currentFile));
        if (stopTest()) return false;
        // The serial is the record's place in the list, counted from 1.
        downloadFile(remoteName, localName, "Update\\", i + 1);
    }
    return true;
}

// One mirror install; false, with the run ended, when the user gave up on a
// file that could not be replaced.
bool mirrorInstall(const char* target, const char* source) {
    RunState& run = g_RunState;
    MirrorTree(target, source);
    if (run.installOk) return true;
    run.runFailed = 1;
    notifyError(AU_ERR_INSTALL);
    endRun();
    return false;
}

// Both mirror installs, then the digest file and the promoted list; false
// when the run is over.
bool installFiles() {
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

    run.installOk = 1;
    if (!mirrorInstall(gameTarget, gameSource) || !mirrorInstall(systemTarget, systemSource)) {
        return false;
    }
    if (stopTest()) return false;

    char installedList[256];
    char stagedList[256];
    std::snprintf(installedList, sizeof installedList, "%s\\%s.upd", run.gameDir, run.packageName);
    std::snprintf(stagedList, sizeof stagedList, "%s\\%s\\%s.upd", run.gameDir, "Update",
                  run.packageName);
    writePackageDigest();
    platform::copyFile(stagedList, installedList);
    platform::deleteFile(stagedList);
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

    notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_LIST_READ, 0);
    if (run.installedCount == 0) notifyHost(AU_MSG_STATUS, AU_STATUS_FIRST_RUN, 0);

    if (!decideDownloads(paths) || !fillDownloadTable()) return;
    startSpeedReports();
    if (!fetchFiles()) return;
    notifyHost(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 0);
    if (!installFiles()) return;

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
