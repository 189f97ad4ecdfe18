#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

intptr_t sendToHost(HostWindow window, unsigned msg, uintptr_t wParam, intptr_t lParam) {
    if (window == nullptr) return 0;
    return SendMessageA(static_cast<HWND>(window), msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

namespace {

// The library's texts are GBK whatever the system's code page; shown through
// MessageBoxA they would be read in that code page and come out garbled on
// any Windows that is not Chinese.
constexpr UINT kTextCodePage = 936;

std::wstring wideText(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    const int length = MultiByteToWideChar(kTextCodePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(kTextCodePage, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

int messageBox(HWND owner, const char* text, const char* caption, UINT type) {
    return MessageBoxW(owner, wideText(text).c_str(), wideText(caption).c_str(), type);
}

}  // namespace

bool askYesNo(HostWindow window, const char* text, const char* caption) {
    return messageBox(static_cast<HWND>(window), text, caption, MB_YESNO) == IDYES;
}

void showMessage(const char* text, const char* caption) {
    messageBox(nullptr, text, caption, MB_OK);
}

namespace {

// A message box is a dialog of the thread that called MessageBoxW; only the
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
