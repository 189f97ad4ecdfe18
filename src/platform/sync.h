// Locks and waits between the threads of the library: Win32 critical
// sections and condition variables on Windows, pthreads on POSIX (the
// Windows cross build has no std::thread or std::mutex).
#pragma once

#include <cstdint>

namespace platform {

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();
    void* native() { return state_; }

private:
    void* state_;
};

class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// A condition variable: wait() and wakeAll() are called with the mutex held
// (always the same mutex for one condition); wait() lets it go while it
// waits and holds it again on return. Wakes may be spurious, so callers wait
// in a loop over their own condition.
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // False when milliseconds passed without a wake.
    bool wait(Mutex& held, uint32_t milliseconds);
    void wakeAll();

private:
    void* state_;
};

}  // namespace platform
