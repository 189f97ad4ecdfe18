#ifndef UPDATE_HOST_LAUNCHER_H
#define UPDATE_HOST_LAUNCHER_H

#include "options.h"

// Loads the library, runs one update as a launcher would and returns the
// tool's exit status. One definition per OS.
int runLauncher(const Options& options);

#endif
