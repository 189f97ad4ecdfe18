#include "mirror_list.h"

#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "wire_protocol.h"

bool AddMirror(const std::string& url, std::vector<std::string>* mirrors, std::string* error)
{
    std::string base = url;
    if (!base.empty() && base.back() != '/') base += '/';
    const std::size_t scheme = base.compare(0, 7, "http://") == 0    ? 7
                               : base.compare(0, 8, "https://") == 0 ? 8
                                                                      : 0;
    bool printable = true;
    for (unsigned char c : base) printable = printable && c > 0x20 && c < 0x7F;
    if (scheme == 0 || base.size() <= scheme || base[scheme] == '/' || !printable ||
        base.size() > wire::kMaxMirrorUrlBytes) {
        *error = "--mirror takes an http:// or https:// URL of printable ASCII without spaces, at most " +
                 std::to_string(wire::kMaxMirrorUrlBytes) + " bytes with its final /: " + url;
        return false;
    }
    if (mirrors->size() >= wire::kMaxMirrors) {
        *error = "--mirror is given at most " + std::to_string(wire::kMaxMirrors) + " times";
        return false;
    }
    mirrors->push_back(base);
    return true;
}

std::shared_ptr<const MirrorList> MirrorList::Create(const std::vector<std::string>& mirrors, std::string* error)
{
    std::shared_ptr<MirrorList> list(new MirrorList);
    for (const std::string& base : mirrors) list->text_ += (list->text_.empty() ? "" : "\n") + base;
    list->fd_ = memfd_create("update-server-mirrors", MFD_CLOEXEC);
    if (list->fd_ < 0 || write(list->fd_, list->text_.data(), list->text_.size()) !=
                             static_cast<ssize_t>(list->text_.size())) {
        *error = std::string("cannot hold the mirror list: ") + std::strerror(errno);
        return nullptr;
    }
    return list;
}

MirrorList::~MirrorList()
{
    if (fd_ >= 0) close(fd_);
}
