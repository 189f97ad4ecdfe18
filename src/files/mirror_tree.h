// Moves the staged files into place, each only where the new list puts it
// and only when its digest matches the list.
#pragma once

// Both directories end with "\". Lowers installOk when the user gives up on a
// file that cannot be replaced; does nothing while installOk is lowered.
void MirrorTree(const char* destination, const char* source);
