// Condition variables came with Windows Vista; the rest of the library keeps
// to the older interface.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>

#include "platform/sync.h"

namespace platform {

namespace {

CRITICAL_SECTION* sectionOf(void* state) { return static_cast<CRITICAL_SECTION*>(state); }
CONDITION_VARIABLE* conditionOf(void* state) { return static_cast<CONDITION_VARIABLE*>(state); }

}  // namespace

// Allocation failures end the process: a lock that silently does nothing
// would let two threads into the same state.
Mutex::Mutex() : state_(new CRITICAL_SECTION) { InitializeCriticalSection(sectionOf(state_)); }

Mutex::~Mutex() {
    DeleteCriticalSection(sectionOf(state_));
    delete sectionOf(state_);
}

void Mutex::lock() { EnterCriticalSection(sectionOf(state_)); }

void Mutex::unlock() { LeaveCriticalSection(sectionOf(state_)); }

// A condition variable needs no cleanup of its own.
Condition::Condition() : state_(new CONDITION_VARIABLE) { InitializeConditionVariable(conditionOf(state_)); }

Condition::~Condition() { delete conditionOf(state_); }

bool Condition::wait(Mutex& held, uint32_t milliseconds) {
    return SleepConditionVariableCS(conditionOf(state_), sectionOf(held.native()), milliseconds) != 0;
}

void Condition::wakeAll() { WakeAllConditionVariable(conditionOf(state_)); }

}  // namespace platform
