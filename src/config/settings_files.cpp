#include "config/settings_files.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "run/run_state.h"

namespace {

constexpr std::size_t kServerNameCapacity = sizeof g_RunState.serverPackageName;  // 261
constexpr std::size_t kIniPathCapacity = 261;
constexpr std::size_t kProfileValueSize = 260;
constexpr char kIniName[] = "update.ini";

void copyPackageNameToServerName() {
    std::memset(g_RunState.serverPackageName, 0, kServerNameCapacity);
    std::size_t length = 0;
    while (length < sizeof g_RunState.packageName - 1 && g_RunState.packageName[length] != '\0') {
        ++length;
    }
    std::memcpy(g_RunState.serverPackageName, g_RunState.packageName, length);
}

}  // namespace

void readServerPackageName(const char* gameDirectory) {
    copyPackageNameToServerName();
    if (gameDirectory == nullptr || gameDirectory[0] == '\0') {
        return;
    }

    std::size_t directoryLength = std::strlen(gameDirectory);
    bool hasBackslash = gameDirectory[directoryLength - 1] == '\\';
    std::size_t pathLength = directoryLength + (hasBackslash ? 0 : 1) + (sizeof kIniName - 1);
    // A directory too long for the INI path cannot name a readable update.ini;
    // the package then keeps its own name on the server.
    if (pathLength >= kIniPathCapacity) {
        return;
    }
    char iniPath[kIniPathCapacity];
    std::snprintf(iniPath, sizeof iniPath, "%s%s%s", gameDirectory, hasBackslash ? "" : "\\",
                  kIniName);

    platform::readProfileString(g_RunState.packageName, "svrintername", g_RunState.packageName,
                                g_RunState.serverPackageName, kProfileValueSize, iniPath);
    if (g_RunState.serverPackageName[0] == '\0') {
        copyPackageNameToServerName();
    }
}

void packageDigestPath(char* out, std::size_t size) {
    std::snprintf(out, size, "%s\\%sMd5.ini", g_RunState.gameDir, g_RunState.packageName);
}

bool writePackageDigest(const char* path) {
    // Both names are 256-byte fields, so this always fits.
    char standard[sizeof g_RunState.gameDir + sizeof g_RunState.packageName + 8];
    if (path == nullptr) {
        packageDigestPath(standard, sizeof standard);
        path = standard;
    }
    return platform::writeProfileString("MD5", "MD5", g_RunState.packageDigest, path);
}
