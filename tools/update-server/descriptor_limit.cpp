#include "descriptor_limit.h"

#include <sys/resource.h>

namespace {

// Standard streams, listening socket, epoll, signal and watch descriptors,
// the metrics endpoint.
constexpr std::size_t kServerOwn = 32;
// A new current build: its folder and package file, and the folder of the
// build it replaces, which a reload may open again before the old catalogue
// goes.
constexpr std::size_t kReloadPerPackage = 4;

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

std::size_t DescriptorsPerClient(bool deflate) { return deflate ? 3 : 2; }

std::size_t ClientsWithinDescriptors(std::size_t limit, std::size_t catalogued, std::size_t packages,
                                     std::size_t perClient)
{
    const std::size_t reserved = kServerOwn + catalogued + kReloadPerPackage * packages;
    return limit > reserved ? (limit - reserved) / perClient : 0;
}
