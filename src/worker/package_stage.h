// The package stage: the package number from the reply, the installed list,
// the package fetched and inflated into the new list, its digest, the list
// parsed.
#pragma once

// False when the run is over (the host has been told where there is anything
// to tell).
bool runPackageStage();
