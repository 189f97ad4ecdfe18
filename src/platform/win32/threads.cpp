#include <windows.h>
#include <objbase.h>

#include "platform/platform.h"

namespace platform {

namespace {

// The body has the C calling convention, a thread routine is WINAPI: the
// body's address travels as the routine's argument.
DWORD WINAPI threadStart(LPVOID argument) {
    auto body = reinterpret_cast<ThreadBody>(argument);
    return body(nullptr);
}

}  // namespace

ThreadHandle startThread(ThreadBody body, uint32_t* threadId, ThreadHandle* recordedAt) {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, threadStart, reinterpret_cast<LPVOID>(body),
                                 CREATE_SUSPENDED, &id);
    if (threadId != nullptr) *threadId = id;
    if (recordedAt != nullptr) *recordedAt = thread;
    if (thread != nullptr) ResumeThread(thread);
    return thread;
}

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
