// The reference launcher: a plain Win32 window that loads AutoUpdate.dll as
// a game's launcher does and shows everything a run reports.
#include "launcher_options.h"
#include "launcher_window.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    std::vector<std::string> args(__argv + 1, __argv + __argc);
    LauncherOptions options;
    std::string error;
    if (!parseLauncherOptions(args, options, error)) {
        std::string text = error + "\n\nusage: " + launcherUsage();
        MessageBoxA(nullptr, text.c_str(), "Launcher", MB_OK | MB_ICONERROR);
        return 2;
    }

    HMODULE library = LoadLibraryA(options.library.c_str());
    if (!library) {
        std::string text = "Cannot load " + options.library + " (error " + std::to_string(GetLastError()) + ").";
        MessageBoxA(nullptr, text.c_str(), "Launcher", MB_OK | MB_ICONERROR);
        return 2;
    }
    // The exports keep their stdcall-decorated names.
    auto autoUpdate = reinterpret_cast<AutoUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_AutoUpdate@20")));
    auto endUpdate = reinterpret_cast<EndUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "_EndUpdate@0")));
    if (!autoUpdate || !endUpdate) {
        std::string text = options.library + " does not export _AutoUpdate@20 and _EndUpdate@0.";
        MessageBoxA(nullptr, text.c_str(), "Launcher", MB_OK | MB_ICONERROR);
        return 2;
    }
    // The library stays loaded: a run it ended by force may have left it mid-call.
    return runLauncherWindow(options, autoUpdate, endUpdate);
}
