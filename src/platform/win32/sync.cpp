#include <windows.h>

#include "platform/sync.h"

namespace platform {

namespace {

CRITICAL_SECTION* sectionOf(void* state) { return static_cast<CRITICAL_SECTION*>(state); }

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

// Windows' condition variables came with Vista, and the library still loads on
// XP: a semaphore stands in. wakeAll releases one count per thread waiting at
// that moment and starts a new generation; a waiter that times out (or takes
// a count left by one that did) before any wake of its generation withdraws
// itself, so counts never pile up beyond a spurious early return, which
// callers absorb by waiting in a loop over their own condition.
namespace {

struct ConditionState {
    HANDLE semaphore;
    long waiters;
    unsigned long generation;
};

ConditionState* conditionOf(void* state) { return static_cast<ConditionState*>(state); }

}  // namespace

Condition::Condition() : state_(new ConditionState{CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr), 0, 0}) {}

Condition::~Condition() {
    if (conditionOf(state_)->semaphore != nullptr) CloseHandle(conditionOf(state_)->semaphore);
    delete conditionOf(state_);
}

bool Condition::wait(Mutex& held, uint32_t milliseconds) {
    ConditionState* state = conditionOf(state_);
    if (state->semaphore == nullptr) {
        // No semaphore: a plain sleep keeps every caller's loop going.
        held.unlock();
        Sleep(milliseconds < 10 ? milliseconds : 10);
        held.lock();
        return true;
    }
    ++state->waiters;
    const unsigned long generation = state->generation;
    held.unlock();
    const DWORD result = WaitForSingleObject(state->semaphore, milliseconds);
    held.lock();
    if (state->generation == generation) --state->waiters;
    return result == WAIT_OBJECT_0;
}

void Condition::wakeAll() {
    ConditionState* state = conditionOf(state_);
    if (state->semaphore == nullptr || state->waiters == 0) return;
    ReleaseSemaphore(state->semaphore, state->waiters, nullptr);
    state->waiters = 0;
    ++state->generation;
}

}  // namespace platform
