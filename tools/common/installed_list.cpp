#include "installed_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string installedListPath(const std::string& gameDir, const std::string& package)
{
    std::string path = gameDir;
    // The library accepts either separator in the game directory, and so do
    // the C runtimes of both systems.
    if (!path.empty() && path.back() != '/' && path.back() != '\\')
        path += '/';
    return path + package + ".upd";
}

bool removeInstalledList(const std::string& gameDir, const std::string& package, std::string& error)
{
    if (package.empty()) {
        error = "no package name";
        return false;
    }
    std::string path = installedListPath(gameDir, package);
    errno = 0;
    if (std::remove(path.c_str()) == 0 || errno == ENOENT)
        return true;
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
}
