#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

intptr_t sendToHost(HostWindow window, unsigned msg, uintptr_t wParam, intptr_t lParam) {
    if (window == nullptr) return 0;
    return SendMessageA(static_cast<HWND>(window), msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

bool askYesNo(HostWindow window, const char* text, const char* caption) {
    return MessageBoxA(static_cast<HWND>(window), text, caption, MB_YESNO) == IDYES;
}

void showMessage(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_OK);
}

namespace {

// A message box is a dialog of the thread that called MessageBoxA; only the
// Yes/No kind has a No button to press.
BOOL CALLBACK pressNo(HWND window, LPARAM) {
    char windowClass[8] = {};
    HWND no = GetDlgItem(window, IDNO);
    if (GetClassNameA(window, windowClass, sizeof windowClass) > 0 &&
        std::strcmp(windowClass, "#32770") == 0 && no != nullptr) {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), reinterpret_cast<LPARAM>(no));
    }
    return TRUE;
}

}  // namespace

void dismissQuestionOf(uint32_t threadId) {
    if (threadId != 0) EnumThreadWindows(threadId, pressNo, 0);
}

}  // namespace platform
