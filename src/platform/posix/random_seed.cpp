#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {

std::atomic<uint32_t> g_seedsDrawn{0};

// splitmix64's finaliser: every bit of the input moves about half the output.
uint64_t mix(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace

uint32_t randomSeed() {
    uint32_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    // Without the kernel's source (too early at boot): the fine clock, the
    // process and a count of the calls, so that no two calls agree.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t state = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
    state ^= static_cast<uint64_t>(getpid()) << 40;
    state += 0x9E3779B97F4A7C15ULL * (g_seedsDrawn.fetch_add(1) + 1);
    return static_cast<uint32_t>(mix(state));
}

}  // namespace platform
