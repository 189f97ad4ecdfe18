// The host executable's path split like _splitpath: "C:" + "\Games\" +
// "launcher" + ".exe".
#pragma once

struct HostPathParts {
    char drive[3];
    char directory[260];
    char name[260];
    char extension[260];
};

// Splits path; every part is empty where the path has none.
void splitHostPath(const char* path, HostPathParts* parts);

// Splits the path of the running host executable; false when it cannot be had.
bool hostExecutableParts(HostPathParts* parts);
