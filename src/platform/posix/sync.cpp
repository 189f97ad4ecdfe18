#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/sync.h"

namespace platform {

namespace {

pthread_mutex_t* mutexOf(void* state) { return static_cast<pthread_mutex_t*>(state); }
pthread_cond_t* conditionOf(void* state) { return static_cast<pthread_cond_t*>(state); }

}  // namespace

// Allocation failures end the process: a lock that silently does nothing
// would let two threads into the same state.
Mutex::Mutex() : state_(new pthread_mutex_t) { pthread_mutex_init(mutexOf(state_), nullptr); }

Mutex::~Mutex() {
    pthread_mutex_destroy(mutexOf(state_));
    delete mutexOf(state_);
}

void Mutex::lock() { pthread_mutex_lock(mutexOf(state_)); }

void Mutex::unlock() { pthread_mutex_unlock(mutexOf(state_)); }

// Waits are measured on the monotonic clock, so a change of the wall clock
// neither cuts them short nor stretches them.
Condition::Condition() : state_(new pthread_cond_t) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(conditionOf(state_), &attributes);
    pthread_condattr_destroy(&attributes);
}

Condition::~Condition() {
    pthread_cond_destroy(conditionOf(state_));
    delete conditionOf(state_);
}

bool Condition::wait(Mutex& held, uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(conditionOf(state_), mutexOf(held.native()), &deadline) == 0;
}

void Condition::wakeAll() { pthread_cond_broadcast(conditionOf(state_)); }

}  // namespace platform
