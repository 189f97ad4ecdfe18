#include "package_links.h"

#include <climits>
#include <cstdio>
#include <unistd.h>

bool SwitchLink(const std::string& target, const std::string& link)
{
    const std::string temp = link + ".tmp-" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) return false;
    if (rename(temp.c_str(), link.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string LinkTarget(const std::string& link)
{
    char buffer[PATH_MAX];
    ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

bool PointLink(const std::string& target, const std::string& link)
{
    return LinkTarget(link) == target || SwitchLink(target, link);
}
