// Recording a complete update: the staged list becomes the installed list and
// the digest file names it.
#pragma once

// Replaces {gameDir}\{packageName}.upd with the staged list and then
// {packageName}Md5.ini with the package digest, each in one rename, and
// removes the staged list; a signed build's sequence is kept after that.
// False (a log line written, the staged list kept, both files as they were)
// when a step failed.
bool promoteUpdate();
