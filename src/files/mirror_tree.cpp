#include "files/mirror_tree.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "files/file_names.h"
#include "files/md5.h"
#include "log/update_log.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr std::size_t kPathSize = 256;
constexpr uint32_t kErrorNotSameDevice = 17;

// "%s%s" into a 256-byte field; false (nothing usable written) when the
// result would not fit, so such an entry is passed over instead of cut.
bool joinPath(char* out, const char* directory, const char* name, const char* suffix) {
    int length = std::snprintf(out, kPathSize, "%s%s%s", directory, name, suffix);
    return length >= 0 && static_cast<std::size_t>(length) < kPathSize;
}

const char* lastComponent(const char* path) {
    const char* last = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            last = c + 1;
        }
    }
    return last;
}

// Renames the staged file over the target; across volumes it is copied,
// then removed. A system file is always copied: a renamed file would keep
// the security of the game's staging folder, so that whoever can write the
// game folder could replace a DLL of the system directory; a copy takes the
// system directory's own.
bool moveIntoPlace(const char* sourceFile, const char* destinationFile, bool systemFile) {
    if (!systemFile) {
        if (platform::moveFile(sourceFile, destinationFile)) return true;
        if (platform::lastError() != kErrorNotSameDevice) return false;
    }
    if (!platform::copyFile(sourceFile, destinationFile)) return false;
    platform::deleteFile(sourceFile);
    return true;
}

// Asks until the move succeeds or the user gives up; true when the file moved.
bool retryLockedMove(const char* sourceFile, const char* destinationFile, bool systemFile) {
    uint32_t error = platform::lastError();
    char question[kPathSize + 256];
    std::snprintf(question, sizeof question,
                  "%s被程序占用，无法移动文件，请确定您的进程里没有程序使用这个文件\n是否重试？",
                  destinationFile);
    g_UpdateLog.write("%s被程序占,错误类型%d", destinationFile, static_cast<int>(error));
    for (;;) {
        // Once a stop is requested nobody is left to answer: that is a No.
        if (g_RunState.stopRequested || !platform::askYesNo(g_RunState.hostWindow.load(), question, "提示")) {
            g_RunState.installOk = 0;
            return false;
        }
        if (moveIntoPlace(sourceFile, destinationFile, systemFile)) {
            g_UpdateLog.write("%s移动成功", destinationFile);
            return true;
        }
    }
}

bool belongsToTree(const UpdateListEntry& entry, const MirrorPlan& plan) {
    return (entry.systemFile != 0) == plan.systemTree;
}

// The moved file is in place for every record of its tree that lists the
// same path with the same digest.
void markInstalled(MirrorPlan* plan, int32_t moved, uint32_t nameHash) {
    const UpdateListEntry& movedEntry = g_RunState.newList[moved];
    for (int32_t k = plan->byName.first(nameHash); k >= 0; k = plan->byName.next(k)) {
        const UpdateListEntry& entry = g_RunState.newList[k];
        if (belongsToTree(entry, *plan) &&
            (k == moved || (SameFileName(entry.path, movedEntry.path) &&
                            std::strcmp(entry.md5, movedEntry.md5) == 0))) {
            plan->marks[static_cast<std::size_t>(k)] |= kMarkInstalled;
        }
    }
}

void mirrorFile(const char* sourceFile, const char* destinationFile, const char* fileName,
                MirrorPlan* plan, bool keepMarks) {
    uint8_t digest[16];
    char digestText[33];
    std::memset(digest, 0, sizeof digest);
    std::memset(digestText, 0, sizeof digestText);
    bool digested = false;
    std::size_t destinationLength = std::strlen(destinationFile);
    uint32_t nameHash = HashFileName(fileName);

    // A staged file whose only records are installed already is not this
    // run's: it goes, so that no later run takes it either.
    bool ofRecordInPlace = false;
    bool ofRecordToInstall = false;
    for (int32_t i = plan->byName.first(nameHash); i >= 0; i = plan->byName.next(i)) {
        const UpdateListEntry& entry = g_RunState.newList[i];
        const uint8_t mark = plan->marks[static_cast<std::size_t>(i)];
        if (plan->nameHashes[static_cast<std::size_t>(i)] != nameHash ||
            std::memchr(entry.path, '\0', sizeof entry.path) == nullptr ||
            !SameFileName(lastComponent(entry.path), fileName) || (keepMarks && !belongsToTree(entry, *plan))) {
            continue;
        }

        // The tail as long as the list path, the separator before its first
        // component included, must be the list path: a file of the same name
        // in another directory belongs to another record.
        std::size_t pathLength = std::strlen(entry.path);
        if (destinationLength >= pathLength) {
            char tail[kPathSize];
            const char* from = destinationFile + destinationLength - pathLength;
            for (std::size_t k = 0; k <= pathLength; ++k) {
                tail[k] = from[k] == '\\' ? '/' : from[k];
            }
            if (!SameFileName(tail, entry.path)) {
                g_UpdateLog.write("%s到%s的不用拷贝", tail, entry.path);
                continue;
            }
        }

        if (keepMarks && (mark & kMarkInPlace) != 0) {
            ofRecordInPlace = true;
            continue;
        }
        ofRecordToInstall = true;
        g_UpdateLog.write("执行%s到%s的拷贝", entry.path, destinationFile);
        if (!keepMarks || (mark & kMarkVerified) == 0) {
            if (!digested) {
                Md5File(sourceFile, digest);
                Md5ToHex(digest, digestText);
                digested = true;
            }
            if (std::strcmp(digestText, entry.md5) != 0) {
                continue;
            }
        }

        // Once moved, the source is gone: a second record of the same path
        // would only fail to move and put a needless question to the user.
        if (moveIntoPlace(sourceFile, destinationFile, plan->systemTree) ||
            retryLockedMove(sourceFile, destinationFile, plan->systemTree)) {
            if (keepMarks) markInstalled(plan, i, nameHash);
            return;
        }
    }
    if (ofRecordInPlace && !ofRecordToInstall) {
        g_UpdateLog.write("%s不是本次更新下载的文件,已删除", sourceFile);
        platform::deleteFile(sourceFile);
    }
}

void mirrorTree(const char* destination, const char* source, MirrorPlan* plan, bool keepMarks) {
    if (!g_RunState.installOk) {
        return;
    }
    platform::createDirectory(destination);

    platform::DirectoryListing listing;
    if (!listing.open(source)) {
        return;
    }
    platform::DirectoryListing::Entry item;
    while (listing.next(&item)) {
        if (g_RunState.stopRequested) {
            return;
        }
        if (std::memchr(item.name, '\0', sizeof item.name) == nullptr) {
            continue;
        }
        char sourcePath[kPathSize];
        char destinationPath[kPathSize];
        const char* suffix = item.isDirectory ? "\\" : "";
        if (!joinPath(sourcePath, source, item.name, suffix) ||
            !joinPath(destinationPath, destination, item.name, suffix)) {
            continue;
        }
        if (item.isDirectory) {
            mirrorTree(destinationPath, sourcePath, plan, keepMarks);
        } else {
            mirrorFile(sourcePath, destinationPath, item.name, plan, keepMarks);
        }
    }
}

}  // namespace

MirrorPlan::MirrorPlan() {
    const RunState& run = g_RunState;
    int32_t count = run.newCount < 0 ? 0 : (run.newCount > kUpdateListCapacity ? kUpdateListCapacity : run.newCount);
    marks.assign(static_cast<std::size_t>(count), 0);
    nameHashes.assign(static_cast<std::size_t>(count), 0);
    for (int32_t i = 0; i < count; ++i) {
        const UpdateListEntry& entry = run.newList[i];
        if (std::memchr(entry.path, '\0', sizeof entry.path) != nullptr) {
            nameHashes[static_cast<std::size_t>(i)] = HashFileName(lastComponent(entry.path));
        }
    }
    byName.build(nameHashes.data(), count);
}

void MirrorTree(const char* destination, const char* source, MirrorPlan* plan) {
    mirrorTree(destination, source, plan, true);
}

void MirrorTree(const char* destination, const char* source) {
    if (!g_RunState.installOk) {
        return;
    }
    MirrorPlan plan;
    mirrorTree(destination, source, &plan, false);
}
