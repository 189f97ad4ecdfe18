// The worker thread of one update run.
#pragma once

#include <cstdint>

uint32_t updateWorker(void* argument);
