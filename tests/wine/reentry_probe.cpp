// A launcher that calls the library from inside its window procedure, run
// under Wine by reentry_test.py: AutoUpdate from a handler is refused, EndUpdate
// from a handler returns at once and nothing arrives after it, and the next
// AutoUpdate outside the handler runs to its end.
//   reentry_probe.exe GAME_DIR
#include <autoupdate.h>

#include <windows.h>

#include <cstdio>

namespace {

AutoUpdateProc g_autoUpdate = nullptr;
EndUpdateProc g_endUpdate = nullptr;
const char* g_gameDir = nullptr;

int g_phase = 0;  // 0: first run, handler re-enters; 1: after it; 2: second run
int g_failures = 0;
int g_afterEnd = 0;
LONG g_final = -1;

void check(bool ok, const char* what, long value) {
    std::printf("%s %s (%ld)\n", ok ? "PASS" : "FAIL", what, value);
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != AU_MSG_STATUS && msg != AU_MSG_PROGRESS && msg != AU_MSG_FILE_TABLE &&
        msg != AU_MSG_BYTES) {
        return DefWindowProcA(window, msg, wParam, lParam);
    }
    if (g_phase == 0) {
        g_phase = 1;
        int32_t again = g_autoUpdate(window, "127.0.0.1", g_gameDir, "", "game");
        check(again == 0, "AutoUpdate from a handler is refused", again);
        DWORD before = GetTickCount();
        int32_t ended = g_endUpdate();
        DWORD took = GetTickCount() - before;
        check(ended == 1, "EndUpdate from a handler returns 1", ended);
        check(took < 1000, "EndUpdate from a handler returns at once (ms)", long(took));
    } else if (g_phase == 1) {
        ++g_afterEnd;
    } else if (msg == AU_MSG_STATUS && wParam == AU_STATUS_FINAL) {
        g_final = LONG(lParam);
    }
    return 0;
}

void pumpFor(DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: reentry_probe.exe GAME_DIR\n");
        return 2;
    }
    g_gameDir = argv[1];
    HMODULE library = LoadLibraryA("AutoUpdate.dll");
    if (!library) return 2;
    g_autoUpdate = reinterpret_cast<AutoUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_AutoUpdate@20")));
    g_endUpdate = reinterpret_cast<EndUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_EndUpdate@0")));
    if (!g_autoUpdate || !g_endUpdate) return 2;

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ReentryProbe";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "ReentryProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    if (!window) return 2;

    check(g_autoUpdate(window, "127.0.0.1", g_gameDir, "", "game") == 1, "first run starts", 1);
    // The stopped worker leaves at its next stop test; its thread is still recorded.
    pumpFor(4000);
    check(g_phase == 1, "the handler ran", g_phase);
    check(g_afterEnd == 0, "no message after EndUpdate from the handler", g_afterEnd);
    int32_t ended = g_endUpdate();
    check(ended == 1, "the next EndUpdate takes the thread back", ended);
    ended = g_endUpdate();
    check(ended == 0, "a further EndUpdate finds no worker", ended);

    g_phase = 2;
    check(g_autoUpdate(window, "127.0.0.1", g_gameDir, "", "game") == 1, "second run starts", 1);
    for (int i = 0; i < 300 && g_final < 0; ++i) pumpFor(100);
    check(g_final == 1, "second run completes", g_final);
    ended = g_endUpdate();
    check(ended == 1, "EndUpdate after the second run", ended);
    return g_failures == 0 ? 0 : 1;
}
