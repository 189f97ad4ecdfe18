// The package stage: the package number from the reply, the installed list,
// the package fetched and inflated into the new list, its digest, the list
// parsed.
#pragma once

#include <vector>

// zlib's uncompress as zlib.DLL exports it.
using UncompressFn = int (*)(unsigned char* dest, unsigned long* destLen,
                             const unsigned char* source, unsigned long sourceLen);

// Inflates the bytes of a package (at least 2) into list, *listLength its
// length, writing the package dump and the inflate lines to the log. False,
// with runFailed raised and 11111/6/3 sent, when they are not one zlib stream
// of a list that fits the list buffer and holds no NUL byte.
bool inflateList(UncompressFn uncompress, const std::vector<unsigned char>& package,
                 std::vector<unsigned char>* list, unsigned long* listLength);

enum class PackageStage {
    Done,     // the new list is read and may be installed
    Over,     // the run is over (the host has been told where there is anything to tell)
    Refused,  // the list is not the signed one: the next server awaits the package request
};
PackageStage runPackageStage();
