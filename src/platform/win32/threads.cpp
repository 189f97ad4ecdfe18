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

ThreadHandle startThread(ThreadBody body, uint32_t* threadId) {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, threadStart, reinterpret_cast<LPVOID>(body), 0, &id);
    if (threadId != nullptr) *threadId = id;
    return thread;
}

int32_t terminateThread(ThreadHandle thread, uint32_t exitCode) {
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    BOOL ended = TerminateThread(static_cast<HANDLE>(thread), exitCode);
    DWORD error = GetLastError();
    CloseHandle(static_cast<HANDLE>(thread));
    SetLastError(error);
    return ended;
}

bool waitForThread(ThreadHandle thread, uint32_t milliseconds) {
    return thread != nullptr &&
           WaitForSingleObject(static_cast<HANDLE>(thread), milliseconds) == WAIT_OBJECT_0;
}

void initThreadComponents() {
    CoInitialize(nullptr);
}

}  // namespace platform
