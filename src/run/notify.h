// Notifications to the host window. Every one is a synchronous message on the
// worker thread; a guarded one raises inNotify for its duration so that
// EndUpdate does not wait for a worker that is blocked on the host.
#pragma once

#include <cstdint>

#include "autoupdate.h"

void notifyHost(unsigned msg, uintptr_t wParam, intptr_t lParam);
void notifyHostGuarded(unsigned msg, uintptr_t wParam, intptr_t lParam);

// 11111/6/code.
void notifyError(intptr_t code);
void notifyErrorGuarded(intptr_t code);
