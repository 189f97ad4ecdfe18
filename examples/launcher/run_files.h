#ifndef LAUNCHER_RUN_FILES_H
#define LAUNCHER_RUN_FILES_H

#include <string>
#include <vector>

// What the launcher reads from the files a run keeps in the game folder, for
// what the messages do not carry: the table row has no system flag, and the
// install failure does not name the file that could not be replaced.

// The staged update list of the run: {gameDir}\Update\{package}.upd.
std::string stagedListPath(const std::string& gameDir, const std::string& package);
// The run's log: {gameDir}\autoupdatelog.txt.
std::string runLogPath(const std::string& gameDir);

// The paths ("/dir/file") the list text installs into the system directory.
std::vector<std::string> systemFilePaths(const std::string& listText);

// The file named by the log's last "could not be moved, a program holds it"
// line, relative to gameDir when it lies below it; empty when there is none.
std::string lockedFileFromLog(const std::string& logText, const std::string& gameDir);

// The whole file, or empty when it cannot be read.
std::string readWholeFile(const std::string& path);

#endif
