#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

namespace {

// How long terminateThread waits for a cancelled thread to unwind before it
// lets the thread go (detached) instead of blocking the host for good.
constexpr int kCancelJoinSeconds = 3;

struct PosixThread {
    pthread_t thread;
    ThreadBody body;
    std::atomic<bool> done{false};
};

std::atomic<uint32_t> g_nextThreadId{1};

void* threadStart(void* argument) {
    // Deferred cancellation: the thread ends at its next blocking call
    // (recv, nanosleep, read...), never in the middle of a heap operation.
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &previous);
    // The handle lives until terminateThread has joined or let go of the thread.
    auto* handle = static_cast<PosixThread*>(argument);
    uint32_t result = handle->body(nullptr);
    handle->done = true;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

}  // namespace

ThreadHandle startThread(ThreadBody body, uint32_t* threadId) {
    auto* handle = new (std::nothrow) PosixThread{};
    if (handle == nullptr) {
        posix::setLastErrorFromErrno(ENOMEM);
        return nullptr;
    }
    handle->body = body;
    int rc = pthread_create(&handle->thread, nullptr, threadStart, handle);
    if (rc != 0) {
        posix::setLastErrorFromErrno(rc);
        delete handle;
        return nullptr;
    }
    if (threadId != nullptr) {
        uint32_t id = g_nextThreadId.fetch_add(1);
        if (id == 0) id = g_nextThreadId.fetch_add(1);
        *threadId = id;
    }
    return handle;
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
    bool joined = false;
    if (pthread_equal(handle->thread, pthread_self())) {
        pthread_detach(handle->thread);
    } else {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += kCancelJoinSeconds;
        int result;
        do {
            result = pthread_timedjoin_np(handle->thread, nullptr, &deadline);
        } while (result == EINTR);
        joined = result == 0;
        if (!joined) pthread_detach(handle->thread);
    }
    // A thread let go of still runs and writes its done flag: it keeps its handle.
    if (joined) delete handle;
    if (rc != 0 && rc != ESRCH) {
        posix::setLastErrorFromErrno(rc);
        return 0;
    }
    return 1;
}

bool waitForThread(ThreadHandle thread, uint32_t milliseconds) {
    auto* handle = static_cast<PosixThread*>(thread);
    if (handle == nullptr) return false;
    for (uint32_t waited = 0; !handle->done && waited < milliseconds; ++waited) {
        timespec step{0, 1000000};
        nanosleep(&step, nullptr);
    }
    return handle->done;
}

void initThreadComponents() {}

}  // namespace platform
