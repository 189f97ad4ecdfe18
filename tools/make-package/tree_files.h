// Files and folders under ROOT as make-package writes them, by POSIX calls.
#pragma once

#include <string>
#include <vector>

#include "platform/crypto.h"

bool IsDirectory(const std::string& path);
// Creates path and every missing parent; true when path is a folder then.
bool MakeDirectories(const std::string& path);
// Removes path, a folder with everything below it or a file; links are not followed.
void RemoveTree(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// Copies source to target and returns the bytes copied, or -1. digest, when
// given, sees the bytes written.
long long CopyRegularFile(const std::string& source, const std::string& target, platform::Sha256* digest = nullptr);
// The names in dir but "." and "..", in byte order; *ok false when dir cannot be read.
std::vector<std::string> SortedNames(const std::string& dir, bool* ok);
