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
#include "net/http_fetch.h"
#include "net/write_behind.h"
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

// EndUpdate's budget: at most 40 steps of 100 ms for the worker to leave.
constexpr int kStopSteps = 40;
constexpr uint32_t kStopStepMs = 100;

void copyText(char* field, std::size_t size, const char* text) {
    std::snprintf(field, size, "%s", text ? text : "");
}

// Lets go of the recorded worker's thread once it has left it; every other
// field of the run is left alone.
void releaseWorker() {
    RunState& run = g_RunState;
    platform::releaseThread(run.workerThread);
    run.workerThread = nullptr;
}

// Whether a new run may start: no worker is recorded, or the recorded one has
// left its thread or is on its way out and leaves within the stop budget.
// The thread itself decides; workerFinished goes up before the worker is gone.
bool previousWorkerGone() {
    RunState& run = g_RunState;
    if (!run.workerThread) return true;
    if (!platform::waitForThread(run.workerThread, 0)) {
        // From a handler the worker waits for this call: it cannot leave.
        if (platform::inHandlerOf(run.workerThread)) return false;
        // A worker still at work belongs to a run the launcher must end first.
        if (!run.workerFinished && !run.stopRequested) return false;
        int steps = 0;
        while (!platform::waitForThread(run.workerThread, kStopStepMs)) {
            if (++steps >= kStopSteps) return false;
        }
    }
    releaseWorker();
    return true;
}

// A worker blocked in a send or recv fails out of it and, seeing the stop,
// leaves; closing the socket stays the worker's own business.
void interruptWorkerSocket() {
    const platform::Socket socket = g_Socket.load();
    if (socket != 0 && socket != platform::kInvalidSocket) platform::interruptSocket(socket);
    interruptMirrorFetches();
}

// The socket of a worker that was ended forcibly, which can no longer close it.
void closeAbandonedSocket() {
    const platform::Socket socket = g_Socket.exchange(0);
    if (socket != 0 && socket != platform::kInvalidSocket) platform::closeSocket(socket);
}

}  // namespace

extern "C" int32_t AUTOUPDATE_CALL AutoUpdate(AutoUpdateWindow hostWindow, const char* serverAddress,
                                              const char* gameDirectory,
                                              const char* packageDigest,
                                              const char* packageName) {
    RunState& run = g_RunState;

    // Two workers would share one run state.
    if (!previousWorkerGone()) return 0;

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
    keepServerAddress(run.preferredServerIp, sizeof run.preferredServerIp, serverAddress);

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

    run.workerThread = nullptr;

    copyText(run.packageName, sizeof run.packageName, packageName);
    readServerPackageName(gameDirectory);
    run.runFailed = 0;
    run.diskFull = 0;

    char component[257];
    if (!LastPathComponent(run.gameDir, component)) return 0;

    std::snprintf(run.systemPackageName, sizeof run.systemPackageName, "%s%s", run.packageName,
                  "system");
    run.workerFinished = 0;
    platform::startThread(updateWorker, &run.workerThreadId, &run.workerThread);
    return 1;
}

extern "C" int32_t AUTOUPDATE_CALL EndUpdate(void) {
    RunState& run = g_RunState;
    if (!run.workerThread) return 0;

    // Nothing is sent once the window is cleared; a message already on its
    // way is handled while the wait below runs.
    run.hostWindow = nullptr;
    run.stopRequested = 1;

    // Called from a handler, the worker cannot go on before this call
    // returns: it leaves at its next stop test, and a later EndUpdate or
    // AutoUpdate takes its thread back.
    if (!platform::waitForThread(run.workerThread, 0) && platform::inHandlerOf(run.workerThread)) {
        return 1;
    }

    bool gone = platform::waitForThread(run.workerThread, 0);
    for (int step = 0; !gone && step < kStopSteps; ++step) {
        gone = platform::waitForThread(run.workerThread, kStopStepMs);
        // One step is time enough to reach a stop test; a worker still here
        // is likely blocked on the server.
        if (!gone && step == 0) interruptWorkerSocket();
        // A worker asking whether to retry a locked file waits for a person;
        // the stop answers No for them. Every step, in case the question
        // came up just after the stop was raised.
        if (!gone) platform::dismissQuestionOf(run.workerThreadId);
    }
    if (gone) {
        releaseWorker();
        return 1;
    }

    // The last resort: a worker that outlived the budget is ended where it is.
    const int32_t result = platform::terminateThread(run.workerThread, run.workerThreadId);
    run.workerThread = nullptr;
    closeAbandonedSocket();
    abandonWriteBehind();
    return result;
}
