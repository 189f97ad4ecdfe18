#include "worker/package_stage.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/list_path_check.h"
#include "files/md5.h"
#include "files/update_list.h"
#include "log/update_log.h"
#include "net/file_transfer.h"
#include "net/frames.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/signed_build.h"
#include "worker/stop_test.h"

namespace {

constexpr std::size_t kListBufferSize = 300000;
constexpr int kDumpLineBytes = 100;
constexpr std::size_t kDumpLimit = 5000;

struct LoadedLibrary {
    platform::Library handle = nullptr;
    ~LoadedLibrary() {
        if (handle) platform::freeLibrary(handle);
    }
};

struct OpenFile {
    std::FILE* file = nullptr;
    ~OpenFile() {
        if (file) std::fclose(file);
    }
};

void logPackageHead(const std::vector<unsigned char>& package) {
    const std::size_t lines = package.size() / kDumpLineBytes;
    char text[5000];
    for (std::size_t line = 0; line < lines && line * kDumpLineBytes < kDumpLimit; ++line) {
        std::size_t length = 0;
        text[length++] = '!';
        for (int i = 0; i < kDumpLineBytes; ++i) {
            length += std::snprintf(text + length, sizeof text - length, "0x%.2X,",
                                    package[line * kDumpLineBytes + i]);
        }
        g_UpdateLog.write("%s", text);
    }
}

// Reads the fetched package whole, into a buffer of its own size. No list
// that fits the list buffer needs a package anywhere near kMaxPackageSize.
bool readPackage(const char* packagePath, std::vector<unsigned char>* package) {
    RunState& run = g_RunState;
    OpenFile in;
    in.file = platform::openFile(packagePath, "rb+");
    if (!in.file) {
        notifyError(AU_ERR_PACKAGE_OPEN);
        return false;
    }
    std::fseek(in.file, 0, SEEK_END);
    const long size = std::ftell(in.file);
    run.wei = static_cast<int32_t>(static_cast<uint32_t>(run.wei) + static_cast<uint32_t>(size));
    if (size < 2) {
        notifyError(AU_ERR_PACKAGE_SHORT);
        return false;
    }
    if (size > static_cast<long>(kPackageSizeLimit)) {
        g_UpdateLog.write("cms文件太大:%d", static_cast<int>(size));
        run.runFailed = 1;
        notifyError(AU_ERR_INFLATE);
        return false;
    }
    std::fseek(in.file, 0, SEEK_SET);
    package->assign(static_cast<std::size_t>(size), 0);
    if (std::fread(package->data(), static_cast<std::size_t>(size), 1, in.file) != 1) {
        notifyError(AU_ERR_PACKAGE_OPEN);
        return false;
    }
    g_UpdateLog.write("cms文件大小为%d", static_cast<int>(size));
    return true;
}

bool failInflate() {
    g_RunState.runFailed = 1;
    notifyError(AU_ERR_INFLATE);
    return false;
}

// Reads the package and inflates it into list with zlib.DLL, which stays
// loaded for this step only. False when the run is over.
bool inflatePackage(const char* packagePath, std::vector<unsigned char>* list,
                    unsigned long* listLength) {
    LoadedLibrary zlib;
    zlib.handle = platform::loadLibrary("zlib.DLL");
    if (!zlib.handle) {
        g_UpdateLog.write("无法加载zlib.DLL");
        notifyError(AU_ERR_NO_UNCOMPRESS);
        return false;
    }
    std::vector<unsigned char> package;
    if (!readPackage(packagePath, &package)) return false;

    auto uncompress = reinterpret_cast<UncompressFn>(platform::findSymbol(zlib.handle, "uncompress"));
    if (!uncompress) {
        notifyError(AU_ERR_NO_UNCOMPRESS);
        return false;
    }

    return inflateList(uncompress, package, list, listLength);
}

bool writeStagedList(const char* stagedListPath, const std::vector<unsigned char>& list,
                     unsigned long listLength) {
    std::FILE* out = platform::openFile(stagedListPath, "wb+");
    g_UpdateLog.write("保存为%s,upd文件，大小为%d", stagedListPath, static_cast<int>(listLength));
    bool written = out != nullptr;
    if (out) {
        written = listLength == 0 || std::fwrite(list.data(), listLength, 1, out) == 1;
        written = std::fclose(out) == 0 && written;
    }
    if (!written) {
        g_UpdateLog.write("错误代码:7,getlasterror[%d] upd创建失败",
                          static_cast<int>(platform::lastError()));
        notifyError(AU_ERR_LIST_CREATE);
        return false;
    }
    return true;
}

}  // namespace

bool inflateList(UncompressFn uncompress, const std::vector<unsigned char>& package,
                 std::vector<unsigned char>* list, unsigned long* listLength) {
    logPackageHead(package);
    list->assign(kListBufferSize, 0);
    *listLength = kListBufferSize;
    const int result = uncompress(list->data(), listLength, package.data(), package.size());
    g_UpdateLog.write("0x%.2X，0x%.2X，0x%.2X，大小为%d", package[0], package[1],
                      package.size() > 2 ? package[2] : 0, static_cast<int>(package.size()));
    g_UpdateLog.write("%d,0x%.2X，0x%.2X，0x%.2X，!!!大小为%d", result, (*list)[0], (*list)[1],
                      (*list)[2], static_cast<int>(*listLength));

    // A failed inflate leaves a cut list: installing from it would promote an
    // incomplete update as complete.
    if (result != 0) {
        g_UpdateLog.write("cms文件解压失败，错误代码%d", result);
        return failInflate();
    }
    // The list reader stops at a NUL, so the records after it would be
    // silently dropped while the run reports the update complete.
    if (std::memchr(list->data(), 0, *listLength) != nullptr) {
        g_UpdateLog.write("解压后的列表含有0字节，拒绝更新");
        return failInflate();
    }
    return true;
}

PackageStage runPackageStage() {
    RunState& run = g_RunState;

    const uint16_t packageNumber = replyPackageFileId();
    if (packageNumber == kNoSuchPackage) {
        g_UpdateLog.write("错误代码:[%d] %s，没这个文件", static_cast<int>(platform::lastError()),
                          run.packageName);
        notifyErrorGuarded(AU_ERR_NO_PACKAGE);
        endRun();
        return PackageStage::Over;
    }
    run.packageFileId = packageNumber;

    char stagingRoot[256];
    char installedListPath[256];
    char stagedListPath[256];
    char packagePath[256];
    std::snprintf(stagingRoot, sizeof stagingRoot, "%s\\%s", run.gameDir, "Update");
    platform::createDirectory(stagingRoot);
    std::snprintf(installedListPath, sizeof installedListPath, "%s\\%s.upd", run.gameDir,
                  run.packageName);
    std::snprintf(stagedListPath, sizeof stagedListPath, "%s\\%s\\%s.upd", run.gameDir, "Update",
                  run.packageName);
    std::snprintf(packagePath, sizeof packagePath, "%s\\%s\\%s.cms", run.gameDir, "Update",
                  run.packageName);
    if (stopTest()) return PackageStage::Over;

    readUpdateList(installedListPath, run.installedList, &run.installedCount);

    char serverPackage[270];
    char localPackage[270];
    std::snprintf(serverPackage, sizeof serverPackage, "%s.cms", run.serverPackageName);
    std::snprintf(localPackage, sizeof localPackage, "%s.cms", run.packageName);
    notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_TRANSFERS, 10);
    g_UpdateLog.write("开始下载cms文件");
    downloadFile(serverPackage, localPackage, "\\Update\\", 0, kPackageSizeLimit);
    if (run.diskFull) {
        endRun();
        return PackageStage::Over;
    }

    std::vector<unsigned char> list;
    unsigned long listLength = 0;
    if (!inflatePackage(packagePath, &list, &listLength)) {
        endRun();
        return PackageStage::Over;
    }
    if (stopTest()) return PackageStage::Over;

    if (!writeStagedList(stagedListPath, list, listLength)) {
        endRun();
        return PackageStage::Over;
    }
    uint8_t digest[16] = {};
    Md5File(stagedListPath, digest);
    Md5ToHex(digest, run.packageDigest);
    platform::deleteFile(packagePath);
    if (stopTest()) return PackageStage::Over;

    bool overlongPath = false;
    readUpdateList(stagedListPath, run.newList, &run.newCount, &overlongPath);
    // Checked before the list's own checks: a list the publisher did not
    // sign sends the run to the next server, whatever else is wrong with it.
    const BuildTrust trust = judgeNewList(list.data(), listLength);
    if (trust != BuildTrust::Accepted) {
        platform::deleteFile(stagedListPath);
        return trust == BuildTrust::Refused ? PackageStage::Refused : PackageStage::Over;
    }
    if (run.newCount >= kUpdateListCapacity) {
        notifyErrorGuarded(AU_ERR_LIST_TOO_LONG);
        endRun();
        return PackageStage::Over;
    }

    // A list path that climbs out of its directory, or one too long to be
    // kept whole, would put a file where the package has no business.
    if (overlongPath || !ListIsSafe(run.newList, run.newCount)) {
        g_UpdateLog.write("更新列表含有不安全的路径，拒绝更新");
        run.runFailed = 1;
        notifyError(AU_ERR_UNSAFE_LIST);
        endRun();
        return PackageStage::Over;
    }
    return PackageStage::Done;
}
