// The symbolic links under ROOT that name a package's current build, switched
// in one rename so that a server never finds one missing.
#pragma once

#include <string>

// Replaces link (or a file there) by a symbolic link to target in one rename.
bool SwitchLink(const std::string& target, const std::string& link);

// Where link points; empty when it is no link.
std::string LinkTarget(const std::string& link);

// SwitchLink unless link already points at target.
bool PointLink(const std::string& target, const std::string& link);
