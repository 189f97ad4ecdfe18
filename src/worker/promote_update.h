// Recording a complete update: the staged list becomes the installed list and
// the digest file names it.
#pragma once

// Replaces {gameDir}\{packageName}.upd with the staged list and then
// {packageName}Md5.ini with the package digest, each in one rename, and
// removes the staged list. False (a log line written, the staged list kept)
// when a step failed; a failure before the list's rename leaves both files
// as they were.
bool promoteUpdate();
