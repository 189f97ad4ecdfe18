#include "catalog_watch.h"

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

CatalogWatch::~CatalogWatch()
{
    if (fd_ >= 0) close(fd_);
}

bool CatalogWatch::Open(const std::string& root)
{
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    const uint32_t changes = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB |
                             IN_DELETE_SELF | IN_MOVE_SELF;
    if (inotify_add_watch(fd_, root.c_str(), changes) < 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool CatalogWatch::Drain()
{
    if (fd_ < 0) return false;
    alignas(inotify_event) char events[4096];
    bool changed = false;
    for (;;) {
        ssize_t got = read(fd_, events, sizeof events);
        if (got > 0) {
            changed = true;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return changed;
    }
}
