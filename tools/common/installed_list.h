#ifndef AUTOUPDATE_INSTALLED_LIST_H
#define AUTOUPDATE_INSTALLED_LIST_H

#include <string>

// The installed list {package}.upd in the game directory. Without it the next
// run is a first run: every listed file on disk is checked by its digest and
// whatever is missing or damaged is fetched again. This is how a launcher
// repairs an install.
std::string installedListPath(const std::string& gameDir, const std::string& package);

// Removes the installed list. A list that is not there is no failure (the next
// run is a first run already); any other failure returns false with a reason.
bool removeInstalledList(const std::string& gameDir, const std::string& package, std::string& error);

#endif
