#ifndef LAUNCHER_OPTIONS_H
#define LAUNCHER_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

// What the launcher is told on its command line. A game's launcher would
// know these itself; here they come from outside so that a test can drive it.
struct LauncherOptions {
    std::string library = "AutoUpdate.dll";
    std::string server;          // empty: the library picks from gamedata.xml
    std::string package;
    std::string gameDir;
    std::string digest;
    bool repair = false;         // as if Repair were pressed at start
    int64_t closeAfterMs = -1;   // -1: stay open when the run has ended
    // The player's download cap in KiB/s, written into gamedata.xml before
    // each run; 0 lifts it, -1 leaves gamedata.xml as it is.
    int64_t maxKiBps = -1;
};

// args holds the arguments without the program name. On a bad command line
// returns false with a one-line reason.
bool parseLauncherOptions(const std::vector<std::string>& args, LauncherOptions& options, std::string& error);

const char* launcherUsage();

#endif
