#include <windows.h>

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

}  // namespace platform
