// Names as the file system compares them. On Windows "Data" and "data" are
// one folder: a build that renames a folder only in letter case stages its
// files into the folder already there, and the install must find them under
// the listed name. Elsewhere names compare byte for byte.
#pragma once

#include <cstdint>

// Whether two names (or list paths, "/" and "\" kept as they are) name the
// same entry on this platform's file system.
bool SameFileName(const char* a, const char* b);

// A hash under which names that SameFileName takes as one fall together.
uint32_t HashFileName(const char* name);

// SameFileName with the folding chosen by the caller: letters A to Z match
// a to z, never the second byte of a double-byte character in the system
// code page (in 936 it may be a letter).
bool SameFileNameFolded(const char* a, const char* b, bool ignoreCase);
uint32_t HashFileNameFolded(const char* name, bool ignoreCase);
