// The install stage: which files to fetch, the fetch, the mirror installs,
// the digest file, the promoted list and the final report.
#pragma once

// beforeFinalReport runs just before the final notification (the worker
// closes its connection there, so a launcher that ends the run on the final
// report leaves nothing open).
void runInstallStage(void (*beforeFinalReport)());
