#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

namespace {

// How long terminateThread gives a cancelled thread to unwind before it lets
// the thread go (detached): the caller has already spent its own wait, and a
// stop must end within 4.1 s.
constexpr long kCancelJoinMs = 50;

// Step of the wait for a thread: short against the 100 ms steps of a stop.
constexpr uint32_t kWaitStepMs = 5;

// Shared by the thread and the holder of its handle; whichever lets go last
// frees it, so a thread let go of (detached) can still raise its flag. (A
// cancelled thread runs no code of ours on its way out: sanitizers do not
// follow a forced unwind through a destructor.)
struct PosixThread {
    pthread_t thread;
    ThreadBody body;
    void* argument = nullptr;
    // The thread's reference to the library (null when this code is not in a
    // shared library). A thread cannot drop it itself: dlclose would return
    // into the code it unmapped. So the holder drops it once the thread is
    // joined; a thread that is only detached keeps the library loaded.
    void* library = nullptr;
    std::atomic<bool> done{false};
    std::atomic<int> owners{2};
    // Held by startThread until the handle is recorded.
    pthread_mutex_t recording = PTHREAD_MUTEX_INITIALIZER;
};

void letGo(PosixThread* handle) {
    if (handle->owners.fetch_sub(1) == 1) delete handle;
}

std::atomic<uint32_t> g_nextThreadId{1};

void* threadStart(void* argument) {
    // Deferred cancellation: the thread ends at its next blocking call
    // (recv, nanosleep, read...), never in the middle of a heap operation.
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previous);
    auto* handle = static_cast<PosixThread*>(argument);
    pthread_mutex_lock(&handle->recording);
    pthread_mutex_unlock(&handle->recording);
    uint32_t result = handle->body(handle->argument);
    // Not reached by a cancelled thread: terminateThread frees what it joined.
    handle->done = true;
    letGo(handle);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

bool joinWithin(pthread_t thread, long milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int result;
    do {
        result = pthread_timedjoin_np(thread, nullptr, &deadline);
    } while (result == EINTR);
    return result == 0;
}

// A new reference to the shared object this code is in.
void* referenceOwnLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&threadStart), &info) == 0 || info.dli_fname == nullptr) return nullptr;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

// The holder's side of a joined thread: nothing of it runs any more.
void dropJoined(PosixThread* handle) {
    if (handle->library != nullptr) dlclose(handle->library);
    delete handle;
}

}  // namespace

namespace {

PosixThread* startWith(ThreadBody body, void* argument, uint32_t* threadId, ThreadHandle* recordedAt) {
    auto* handle = new (std::nothrow) PosixThread{};
    if (handle == nullptr) {
        posix::setLastErrorFromErrno(ENOMEM);
        return nullptr;
    }
    handle->body = body;
    handle->argument = argument;
    handle->library = referenceOwnLibrary();
    pthread_mutex_lock(&handle->recording);
    int rc = pthread_create(&handle->thread, nullptr, threadStart, handle);
    if (rc != 0) {
        pthread_mutex_unlock(&handle->recording);
        posix::setLastErrorFromErrno(rc);
        if (handle->library != nullptr) dlclose(handle->library);
        delete handle;
        if (recordedAt != nullptr) *recordedAt = nullptr;
        return nullptr;
    }
    if (threadId != nullptr) {
        uint32_t id = g_nextThreadId.fetch_add(1);
        if (id == 0) id = g_nextThreadId.fetch_add(1);
        *threadId = id;
    }
    if (recordedAt != nullptr) *recordedAt = handle;
    pthread_mutex_unlock(&handle->recording);
    return handle;
}

}  // namespace

ThreadHandle startThread(ThreadBody body, uint32_t* threadId, ThreadHandle* recordedAt) {
    return startWith(body, nullptr, threadId, recordedAt);
}

ThreadHandle startThreadWith(ThreadBody body, void* argument) {
    return startWith(body, argument, nullptr, nullptr);
}

int32_t terminateThread(ThreadHandle thread, uint32_t exitCode) {
    auto* handle = static_cast<PosixThread*>(thread);
    if (handle == nullptr) {
        posix::setLastErrorFromErrno(EBADF);
        return 0;
    }
    // A thread that already returned is still joinable, so cancelling it
    // succeeds and the join below reaps it.
    int rc = pthread_cancel(handle->thread);
    if (!pthread_equal(handle->thread, pthread_self()) && joinWithin(handle->thread, kCancelJoinMs)) {
        // Gone, returned or cancelled: nothing of it touches the handle any more.
        dropJoined(handle);
    } else {
        // A thread cancelled later still will never let go: its handle stays.
        pthread_detach(handle->thread);
        letGo(handle);
    }
    if (rc != 0 && rc != ESRCH) {
        posix::setLastErrorFromErrno(rc);
        return 0;
    }
    return 1;
}

void releaseThread(ThreadHandle thread) {
    auto* handle = static_cast<PosixThread*>(thread);
    if (handle == nullptr) return;
    // A thread that has left its body is gone in an instant: reap it.
    if (pthread_equal(handle->thread, pthread_self()) || !handle->done ||
        !joinWithin(handle->thread, 1000)) {
        pthread_detach(handle->thread);
        letGo(handle);
        return;
    }
    // Joined: the thread has already let go of its share of the handle.
    dropJoined(handle);
}

bool waitForThread(ThreadHandle thread, uint32_t milliseconds) {
    auto* handle = static_cast<PosixThread*>(thread);
    if (handle == nullptr) return false;
    uint32_t waited = 0;
    while (!handle->done && waited < milliseconds) {
        uint32_t step = milliseconds - waited < kWaitStepMs ? milliseconds - waited : kWaitStepMs;
        sleepMs(step);
        waited += step;
    }
    return handle->done;
}

bool inHandlerOf(ThreadHandle thread) {
    auto* handle = static_cast<PosixThread*>(thread);
    return handle != nullptr && pthread_equal(handle->thread, pthread_self());
}

void initThreadComponents() {}

}  // namespace platform
