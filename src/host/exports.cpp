// The library's two entry points. AutoUpdate checks and stores the arguments
// of one run, opens the log and starts the worker; EndUpdate stops it.
#include <cstdio>
#include <cstring>
#include <string>

#include "autoupdate.h"
#include "config/settings_files.h"
#include "files/narrow_text.h"
#include "files/path_utils.h"
#include "host/host_path.h"
#include "log/update_log.h"
#include "net/address_text.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/update_worker.h"

namespace {

// The longest path the worker builds below the game directory is
// "{gameDir}\Update\{packageName}system\" plus a list path; the directory and
// the name together must leave room for it in the 256-byte path texts.
constexpr std::size_t kMaxGameDirectory = 255;
constexpr std::size_t kMaxDirectoryAndName = 240;

// Long enough for a finished worker to return; short for a host that calls
// EndUpdate from its handler of the last message while the worker waits on it.
constexpr uint32_t kFinishingWorkerWaitMs = 1000;

void copyText(char* field, std::size_t size, const char* text) {
    std::snprintf(field, size, "%s", text ? text : "");
}

}  // namespace

extern "C" int32_t AUTOUPDATE_CALL AutoUpdate(AutoUpdateWindow hostWindow, const char* serverAddress,
                                              const char* gameDirectory,
                                              const char* packageDigest,
                                              const char* packageName) {
    RunState& run = g_RunState;

    // Two workers would share one run state; the launcher must end the
    // earlier run first.
    if (run.workerThread && !run.workerFinished) return 0;

    run.stopRequested = 0;
    run.serverCount = 0;
    if (!gameDirectory || !packageName) return 0;
    run.speedActive = false;

    std::string logPath = std::string(gameDirectory) + "\\autoupdatelog.txt";
    g_UpdateLog.open(logPath.c_str());
    g_UpdateLog.write("下载%s,当前目录为:%s", packageName, gameDirectory);

    const std::size_t directoryLength = std::strlen(gameDirectory);
    if (directoryLength > kMaxGameDirectory ||
        directoryLength + std::strlen(packageName) > kMaxDirectoryAndName) {
        g_UpdateLog.write("游戏目录或包名太长(%d,%d)，无法更新", static_cast<int>(directoryLength),
                          static_cast<int>(std::strlen(packageName)));
        return 0;
    }

    run.wei = 0;
    run.sendnow = 0;
    run.hostWindow = static_cast<platform::HostWindow>(hostWindow);
    copyText(run.gameDir, sizeof run.gameDir, gameDirectory);
    run.inNotify = 0;

    if (std::strlen(run.gameDir) < 3) {
        platform::showMessage("自动更新的游戏目录太短，可能是参数传输格式不对", "自动更新失败");
        return 0;
    }

    for (char* c = run.gameDir; *c; ++c) {
        if (*c == '/') *c = '\\';
    }
    if (EndsWithBackslash(run.gameDir)) run.gameDir[std::strlen(run.gameDir) - 1] = '\0';

    // The run replaces the digest before it reads it; it is kept for the log.
    copyText(run.packageDigest, sizeof run.packageDigest, packageDigest);
    keepDigitsAndDots(run.preferredServerIp, sizeof run.preferredServerIp, serverAddress);

    HostPathParts host;
    if (!hostExecutableParts(&host) || (platform::pathsHaveDrives() && !host.drive[0]) ||
        !host.directory[0]) {
        g_UpdateLog.write("路径为%s,%s,%s", host.drive, host.directory, "");
        notifyError(AU_ERR_HOST_PATH);
        return 0;
    }

    std::snprintf(run.xmlPath, sizeof run.xmlPath, "%s%s%s", host.drive, host.directory,
                  "gamedata.xml");
    g_UpdateLog.write("无xml路径默认：%s", run.xmlPath);

    platform::systemDirectory(run.systemDir, sizeof run.systemDir);
    for (char* c = run.systemDir; *c; ++c) {
        if (*c == '/') *c = '\\';
    }

    // A finished worker of an earlier run that was never ended still holds
    // its thread handle.
    if (run.workerThread) platform::terminateThread(run.workerThread, run.workerThreadId);
    run.workerThread = nullptr;

    copyText(run.packageName, sizeof run.packageName, packageName);
    readServerPackageName(gameDirectory);
    run.runFailed = 0;

    char component[257];
    if (!LastPathComponent(run.gameDir, component)) return 0;

    std::snprintf(run.systemPackageName, sizeof run.systemPackageName, "%s%s", run.packageName,
                  "system");
    run.workerFinished = 0;
    run.workerThread = platform::startThread(updateWorker, &run.workerThreadId);
    return 1;
}

extern "C" int32_t AUTOUPDATE_CALL EndUpdate(void) {
    RunState& run = g_RunState;
    if (!run.workerThread) return 0;

    const bool notifying = run.inNotify != 0;
    run.hostWindow = nullptr;
    run.stopRequested = 1;

    // While the worker is blocked on a guarded message, the host's thread is
    // in here and cannot handle it: waiting would only delay the end.
    if (!notifying) {
        int steps = 0;
        while (run.stopRequested == 1 && steps < 40 && run.workerFinished == 0) {
            platform::sleepMs(100);
            ++steps;
            if (run.inNotify) break;
        }
    }

    // A worker that has finished is leaving its thread; ended forcibly on the
    // way out it may hold the loader's lock and hang the whole process at exit.
    if (run.workerFinished && !notifying && !run.inNotify) {
        platform::waitForThread(run.workerThread, kFinishingWorkerWaitMs);
    }

    const int32_t result = platform::terminateThread(run.workerThread, run.workerThreadId);
    run.workerThread = nullptr;
    return result;
}
