#include "descriptor_limit.h"

#include <sys/resource.h>

namespace {

// Standard streams, listening socket, epoll, signal and watch descriptors,
// and room for a catalogue reload that opens the new build before it closes
// the old one.
constexpr std::size_t kServerOwn = 32;
constexpr std::size_t kPerClient = 2;
constexpr std::size_t kPerPackage = 4;

}  // namespace

std::size_t RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t ClientsWithinDescriptors(std::size_t limit, std::size_t packages)
{
    const std::size_t reserved = kServerOwn + kPerPackage * packages;
    return limit > reserved ? (limit - reserved) / kPerClient : 0;
}
