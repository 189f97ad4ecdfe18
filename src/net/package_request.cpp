#include "log/update_log.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/known_fast_servers.h"
#include "net/server_link.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"

namespace {

constexpr uint32_t kPauseBeforeRequest = 2000;
constexpr int kAttemptBudget = 40;
constexpr int kResendBudget = 50;

enum class Outcome { Sent, Stopped, ReconnectFailed };

// Sends the whole request, starting over on a new server after every failed
// send. A failed send costs two attempts.
Outcome sendRequest(const uint8_t* frame, int& attempts, int budget) {
    int sent = 0;
    while (sent < static_cast<int>(kPackageRequestSize) && attempts < budget) {
        ++attempts;
        if (g_RunState.stopRequested) return Outcome::Stopped;
        int count = sendOnLink(frame + sent, static_cast<int>(kPackageRequestSize) - sent);
        if (count >= 0) {
            sent += count;
            continue;
        }
        sent = 0;
        ++attempts;
        g_UpdateLog.write("错误代码:[%d] 发送失败,重新连接其他ip",
                          static_cast<int>(platform::lastError()));
        if (!reconnectServer()) return Outcome::ReconnectFailed;
    }
    return Outcome::Sent;
}

// workerFinished goes up before the acknowledgement: EndUpdate, released by
// it, then waits for the thread to leave instead of ending it mid-way.
bool stopRun() {
    g_RunState.workerFinished = 1;
    g_RunState.stopRequested = 0;
    return false;
}

bool failRun(intptr_t code) {
    g_RunState.workerFinished = 1;
    g_RunState.stopRequested = 0;
    notifyErrorGuarded(code);
    g_RunState.runFailed = 1;
    return false;
}

// The reply is in: it says whether this server offers the fast mode.
bool replyReceived() {
    // Nothing of an earlier connection is still due on this one.
    resetFastPipeline();
    takeFastOffer();
    noteOfferOfLink(g_RunState.fastMode != 0);
    return true;
}

bool settle(Outcome outcome) {
    return outcome == Outcome::Stopped ? stopRun() : failRun(AU_ERR_RECONNECT);
}

}  // namespace

bool requestPackage() {
    // Our own server answers at once; a base server is owed the pause.
    if (!mayAskAtOnce()) platform::sleepMs(kPauseBeforeRequest);
    uint8_t frame[kPackageRequestSize];
    buildPackageRequest(frame, g_RunState.serverPackageName);

    int attempts = 0;
    Outcome outcome = sendRequest(frame, attempts, kAttemptBudget);
    if (outcome != Outcome::Sent) return settle(outcome);
    if (attempts >= kAttemptBudget) return failRun(AU_ERR_ATTEMPTS);

    attempts = 0;
    if (receiveFrame()) return replyReceived();
    for (;;) {
        if (attempts >= kAttemptBudget) return failRun(AU_ERR_ATTEMPTS);
        ++attempts;
        if (g_RunState.stopRequested) return stopRun();
        if (!reconnectServer()) return failRun(AU_ERR_RECONNECT);
        outcome = sendRequest(frame, attempts, kResendBudget);
        if (outcome != Outcome::Sent) return settle(outcome);
        if (receiveFrame()) {
            if (attempts < kAttemptBudget) return replyReceived();
            return failRun(AU_ERR_ATTEMPTS);
        }
    }
}
