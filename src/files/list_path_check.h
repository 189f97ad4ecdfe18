// Whether the paths of an update list stay below the directory they are
// installed into. The list comes from the server, so nothing is fetched or
// moved before every one of its paths has passed.
#pragma once

#include <cstdint>

#include "files/update_list.h"

// False for a path that could name something outside its directory once
// appended to it: empty, not starting with "/", starting with two separators,
// holding a ":" (drive letters, alternate streams), a control character, or a
// component made only of dots and spaces ("..", and the forms Windows trims
// down to it such as ".. " or "..."), a Windows device name in any component
// (NUL, CON, PRN, AUX, COM0-9, LPT0-9, CONIN$, CONOUT$, in any case, with or
// without extension or trailing dots and blanks), or ending in a separator
// ("/" alone names no file).
bool IsSafeListPath(const char* path);

// True when every one of the count records has a safe path.
bool ListIsSafe(const UpdateListEntry* list, int32_t count);
