// Before the first file is fetched: room on every volume the run writes.
#pragma once

#include <cstdint>

#include "worker/decide_downloads.h"

// What the run writes: on the game folder's volume each fetched file whole
// (a patched one too: its staged copy is written whole), less the bytes a
// resume keeps (resumeAt, by record); on the system directory's volume a
// copy of each system file installed (fetched or staged). Files of the game
// folder are renamed from the staging tree and need nothing more. Each
// volume also keeps kDiskMargin and kDiskMarginPerFile free. False, with
// the shortfall reported, when a volume has less; a volume whose free space
// cannot be had is not held against the run.
bool diskSpaceSuffices(const uint32_t* resumeAt, const RecordSource* sources);
