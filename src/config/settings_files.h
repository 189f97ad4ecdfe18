// update.ini (the package's name on the server) and {packageName}Md5.ini
// (the digest of the last completed update's list).
#pragma once

// Sets serverPackageName from the [packageName] svrintername key of
// update.ini in gameDirectory (as the launcher passed it), else packageName.
void readServerPackageName(const char* gameDirectory);

// Writes packageDigest as [MD5] MD5= into {gameDir}\{packageName}Md5.ini.
void writePackageDigest();
