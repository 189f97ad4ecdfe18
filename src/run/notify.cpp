#include "run/notify.h"

#include "platform/platform.h"
#include "run/run_state.h"

void notifyHost(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    // The window is read afresh each time: EndUpdate may have cleared it.
    platform::sendToHost(g_RunState.hostWindow.load(), msg, wParam, lParam);
}

void notifyHostGuarded(unsigned msg, uintptr_t wParam, intptr_t lParam) {
    g_RunState.inNotify = 1;
    notifyHost(msg, wParam, lParam);
    g_RunState.inNotify = 0;
}

void notifyError(intptr_t code) {
    notifyHost(AU_MSG_STATUS, AU_STATUS_ERROR, code);
}

void notifyErrorGuarded(intptr_t code) {
    notifyHostGuarded(AU_MSG_STATUS, AU_STATUS_ERROR, code);
}
