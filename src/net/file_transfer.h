// One file fetched chunk by chunk into {gameDir}\{subDir}\{localName}, with
// the run's progress, byte-count and speed reports.
#pragma once

#include <cstdint>

// The outcome is 11111/7/0 or 11111/6/1 and runFailed.
void downloadFile(const char* remoteName, const char* localName, const char* subDir,
                  int32_t serial);

void startSpeedReports();
void reportSpeed();
