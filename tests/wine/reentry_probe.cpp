// A launcher that calls the library from inside its window procedure, run
// under Wine by reentry_test.py: AutoUpdate from a handler is refused, EndUpdate
// from a handler returns at once and nothing arrives after it, and the next
// AutoUpdate outside the handler runs to its end. With a mode and a count it
// loads the library N times and, inside the handler of the final report
// ("final") or of the first progress message ("progress"), calls EndUpdate
// and FreeLibrary: the worker must leave without crashing and unload the
// library as it goes.
//   reentry_probe.exe GAME_DIR
//   reentry_probe.exe GAME_DIR final|progress N
#include <autoupdate.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

HMODULE g_library = nullptr;
bool g_unloadOnFinal = false;
bool g_unloaded = false;

LRESULT CALLBACK unloadingWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    bool trigger = g_unloadOnFinal ? msg == AU_MSG_STATUS && wParam == AU_STATUS_FINAL : msg == AU_MSG_PROGRESS;
    if (!trigger || g_unloaded) return DefWindowProcA(window, msg, wParam, lParam);
    g_endUpdate();
    FreeLibrary(g_library);
    g_unloaded = true;
    return 0;
}

void pumpFor(DWORD milliseconds);

// A message-only window of its own class, as a launcher's host window.
HWND messageWindow(const char* className, WNDPROC procedure) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
}

// Each run: load, start, unload inside the handler, then wait for the
// worker to take the library with it. A crash ends the process; a run whose
// handler never comes, or whose library stays loaded, counts as a failure.
int unloadInHandlers(const char* mode, int runs) {
    g_unloadOnFinal = std::strcmp(mode, "final") == 0;
    HWND window = messageWindow("UnloadProbe", unloadingWindowProc);
    if (!window) return 2;
    int unloaded = 0;
    for (int run = 0; run < runs; ++run) {
        g_library = LoadLibraryA("AutoUpdate.dll");
        if (!g_library) return 2;
        g_autoUpdate = reinterpret_cast<AutoUpdateProc>(
            reinterpret_cast<void*>(GetProcAddress(g_library, "_AutoUpdate@20")));
        g_endUpdate = reinterpret_cast<EndUpdateProc>(
            reinterpret_cast<void*>(GetProcAddress(g_library, "_EndUpdate@0")));
        g_unloaded = false;
        if (g_autoUpdate(window, "127.0.0.1", g_gameDir, "", "game") != 1) {
            check(false, "run starts", run);
            FreeLibrary(g_library);
            break;
        }
        for (int i = 0; i < 300 && !g_unloaded; ++i) pumpFor(100);
        if (!g_unloaded) {
            check(false, "the handler came within 30 s in run", run);
            g_endUpdate();
            FreeLibrary(g_library);
            break;
        }
        bool gone = false;
        for (int i = 0; i < 100 && !gone; ++i) {
            pumpFor(50);
            gone = GetModuleHandleA("AutoUpdate.dll") == nullptr;
        }
        if (!gone) {
            check(false, "the worker unloads the library as it leaves, run", run);
            break;
        }
        ++unloaded;
    }
    check(unloaded == runs, g_unloadOnFinal ? "unloaded in the final report's handler, runs"
                                            : "unloaded in a progress handler, runs",
          unloaded);
    return g_failures == 0 ? 0 : 1;
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
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: reentry_probe.exe GAME_DIR [final|progress N]\n");
        return 2;
    }
    g_gameDir = argv[1];
    if (argc == 4) return unloadInHandlers(argv[2], std::atoi(argv[3]));
    HMODULE library = LoadLibraryA("AutoUpdate.dll");
    if (!library) return 2;
    g_autoUpdate = reinterpret_cast<AutoUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_AutoUpdate@20")));
    g_endUpdate = reinterpret_cast<EndUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_EndUpdate@0")));
    if (!g_autoUpdate || !g_endUpdate) return 2;

    HWND window = messageWindow("ReentryProbe", windowProc);
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
