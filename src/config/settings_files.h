// update.ini (the package's name on the server) and {packageName}Md5.ini
// (the digest of the last completed update's list).
#pragma once

#include <cstddef>

// Sets serverPackageName from the [packageName] svrintername key of
// update.ini in gameDirectory (as the launcher passed it), else packageName.
void readServerPackageName(const char* gameDirectory);

// {gameDir}\{packageName}Md5.ini into out (256 bytes or more).
void packageDigestPath(char* out, std::size_t size);

// Writes packageDigest as [MD5] MD5= into {gameDir}\{packageName}Md5.ini, or
// into path when one is given; false when the file could not be written.
bool writePackageDigest(const char* path = nullptr);
