#include "worker/update_worker.h"

#include "log/update_log.h"
#include "net/frames.h"
#include "net/known_fast_servers.h"
#include "net/server_link.h"
#include "net/write_behind.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/install_stage.h"
#include "worker/package_stage.h"
#include "worker/server_table.h"
#include "worker/signed_build.h"

namespace {

void closeRunSocket() {
    if (g_Socket != 0 && g_Socket != platform::kInvalidSocket) platform::closeSocket(g_Socket);
    g_Socket = 0;
}

void runStages() {
    RunState& run = g_RunState;
    platform::initThreadComponents();
    run.installOk = 1;

    uint32_t error = 0;
    if (!platform::startSockets(&error)) {
        notifyError(static_cast<intptr_t>(error));
        g_UpdateLog.write("启动tcpip失败");
        run.workerFinished = 1;
        return;
    }

    if (!readGameData()) return;
    loadKnownFastServers();
    if (!connectFirstServer()) return;
    platform::createDirectory(run.gameDir);
    // A server whose build is not signed by the publisher is left for the
    // next untried one, which is asked for the package from the start.
    for (;;) {
        if (!requestPackage()) return;
        const BuildTrust trust = judgeOfferedBuild();
        if (trust == BuildTrust::Over) return;
        if (trust == BuildTrust::Refused) continue;
        const PackageStage stage = runPackageStage();
        if (stage == PackageStage::Over) return;
        if (stage == PackageStage::Done) break;
    }
    runInstallStage(closeRunSocket);
}

}  // namespace

uint32_t updateWorker(void* argument) {
    runStages();
    // Every file was awaited before it was closed; the writer goes before
    // the run counts as finished and the library may be unloaded.
    endWriteBehind();
    closeRunSocket();
    g_RunState.workerFinished = 1;
    return 0;
}
