#ifndef LAUNCHER_WINDOW_H
#define LAUNCHER_WINDOW_H

#include "launcher_options.h"

#include <autoupdate.h>

// Shows the launcher's window, runs one update (and any the player starts with
// Retry or Repair) and returns the process's exit status once the window is closed:
// 0 complete, 1 incomplete or failed, 2 refused, 3 stopped.
int runLauncherWindow(const LauncherOptions& options, AutoUpdateProc autoUpdate, EndUpdateProc endUpdate);

#endif
