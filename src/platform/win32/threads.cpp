#include <windows.h>
#include <objbase.h>

#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

// What a new thread is given: its body and argument, and the reference to the
// library its creator took for it (null when none could be taken).
struct ThreadStart {
    ThreadBody body;
    void* argument;
    HMODULE library;
};

// The thread owns the reference taken by its creator: a host may free the
// library from a handler while the thread still runs in it. The reference is
// dropped by the call that ends the thread, so nothing returns into a
// library that this very call unloads.
DWORD WINAPI threadStart(LPVOID argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    const DWORD result = start.body(start.argument);
    if (start.library != nullptr) FreeLibraryAndExitThread(start.library, result);
    return result;
}

ThreadHandle startWith(ThreadBody body, void* argument, uint32_t* threadId, ThreadHandle* recordedAt) {
    // Taken here, on the creating thread: by the time the new thread runs,
    // the host may already have let go of its own reference.
    HMODULE library = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&threadStart),
                       &library);
    auto* start = new (std::nothrow) ThreadStart{body, argument, library};
    DWORD id = 0;
    HANDLE thread = start == nullptr ? nullptr
                                     : CreateThread(nullptr, 0, threadStart, start, CREATE_SUSPENDED, &id);
    if (threadId != nullptr) *threadId = id;
    if (recordedAt != nullptr) *recordedAt = thread;
    if (thread != nullptr) {
        ResumeThread(thread);
        return thread;
    }
    const DWORD error = start == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    delete start;
    if (library != nullptr) FreeLibrary(library);
    SetLastError(error);
    return nullptr;
}

}  // namespace

ThreadHandle startThread(ThreadBody body, uint32_t* threadId, ThreadHandle* recordedAt) {
    return startWith(body, nullptr, threadId, recordedAt);
}

ThreadHandle startThreadWith(ThreadBody body, void* argument) {
    return startWith(body, argument, nullptr, nullptr);
}

// A thread ended here never drops the reference it holds to the library: the
// library stays loaded for the rest of the process. Releasing it here could
// unload code the thread had been stopped in, or release it twice when the
// thread was already on its way out through FreeLibraryAndExitThread.
int32_t terminateThread(ThreadHandle thread, uint32_t exitCode) {
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    BOOL ended = TerminateThread(static_cast<HANDLE>(thread), exitCode);
    DWORD error = GetLastError();
    // The end is asynchronous: let it take place before the handle goes.
    if (ended) WaitForSingleObject(static_cast<HANDLE>(thread), 50);
    CloseHandle(static_cast<HANDLE>(thread));
    SetLastError(error);
    return ended;
}

void releaseThread(ThreadHandle thread) {
    if (thread != nullptr) CloseHandle(static_cast<HANDLE>(thread));
}

bool waitForThread(ThreadHandle thread, uint32_t milliseconds) {
    if (thread == nullptr) return false;
    HANDLE handle = static_cast<HANDLE>(thread);
    const DWORD start = GetTickCount();
    for (;;) {
        // Handles what other threads sent to this thread's windows: a worker
        // blocked in SendMessageA to the host then goes on and can leave.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        const DWORD waited = GetTickCount() - start;
        const DWORD left = waited >= milliseconds ? 0 : milliseconds - waited;
        DWORD result = MsgWaitForMultipleObjectsEx(1, &handle, left, QS_SENDMESSAGE,
                                                   MWMO_INPUTAVAILABLE);
        if (result == WAIT_OBJECT_0) return true;
        if (result != WAIT_OBJECT_0 + 1 || left == 0) {
            return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        }
    }
}

bool inHandlerOf(ThreadHandle thread) {
    if (thread == nullptr) return false;
    return GetThreadId(static_cast<HANDLE>(thread)) == GetCurrentThreadId() || InSendMessage();
}

void initThreadComponents() {
    CoInitialize(nullptr);
}

}  // namespace platform
