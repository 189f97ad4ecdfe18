#include "worker/promote_update.h"

#include <cstdio>

#include "config/settings_files.h"
#include "log/update_log.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "worker/signed_build.h"

namespace {

constexpr std::size_t kPathSize = 600;

bool refused(const char* path) {
    g_UpdateLog.write("%s无法更新,错误类型%d", path, static_cast<int>(platform::lastError()));
    return false;
}

// A file of ours may have been made read-only (by a user or a copy tool);
// a rename onto it fails on Windows until the attribute is cleared.
bool replaceOurFile(const char* temporary, const char* target) {
    platform::makeWritable(target);
    return platform::moveFile(temporary, target);
}

}  // namespace

bool promoteUpdate() {
    const RunState& run = g_RunState;
    char installedList[kPathSize];
    char stagedList[kPathSize];
    char listTemporary[kPathSize];
    char digestFile[kPathSize];
    char digestTemporary[kPathSize];
    char listBackup[kPathSize];
    std::snprintf(installedList, sizeof installedList, "%s\\%s.upd", run.gameDir, run.packageName);
    std::snprintf(stagedList, sizeof stagedList, "%s\\%s\\%s.upd", run.gameDir, "Update",
                  run.packageName);
    std::snprintf(listTemporary, sizeof listTemporary, "%s.tmp", installedList);
    std::snprintf(listBackup, sizeof listBackup, "%s.old.tmp", installedList);
    packageDigestPath(digestFile, sizeof digestFile);
    std::snprintf(digestTemporary, sizeof digestTemporary, "%s.tmp", digestFile);

    // Both new files are made complete beside their targets first, so that a
    // failure up to the list's rename changes nothing, and a kill leaves at
    // most a .tmp file that the next run overwrites. The digest file keeps
    // any other line it holds.
    platform::deleteFile(digestTemporary);
    platform::copyFile(digestFile, digestTemporary);
    platform::makeWritable(digestTemporary);
    if (!writePackageDigest(digestTemporary)) {
        platform::deleteFile(digestTemporary);
        return refused(digestFile);
    }
    if (!platform::copyFile(stagedList, listTemporary)) {
        platform::deleteFile(digestTemporary);
        return refused(installedList);
    }
    // The old list is kept aside until the digest file is in place, so that
    // a digest file that cannot be replaced still leaves the last update's
    // list where it was.
    platform::deleteFile(listBackup);
    bool hadList = platform::copyFile(installedList, listBackup);
    if (!replaceOurFile(listTemporary, installedList)) {
        bool result = refused(installedList);
        platform::deleteFile(listTemporary);
        platform::deleteFile(digestTemporary);
        platform::deleteFile(listBackup);
        return result;
    }
    if (!replaceOurFile(digestTemporary, digestFile)) {
        bool result = refused(digestFile);
        platform::deleteFile(digestTemporary);
        if (hadList) {
            platform::moveFile(listBackup, installedList);
        } else {
            platform::deleteFile(installedList);
        }
        return result;
    }
    platform::deleteFile(listBackup);
    platform::deleteFile(stagedList);
    keepSignedSequence();
    return true;
}
