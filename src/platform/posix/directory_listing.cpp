#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

namespace {

struct ListingState {
    std::string directory;  // native, ends with "/"
};

void closeListing(void*& handle, void*& state) {
    if (handle != nullptr) closedir(static_cast<DIR*>(handle));
    delete static_cast<ListingState*>(state);
    handle = nullptr;
    state = nullptr;
}

}  // namespace

DirectoryListing::DirectoryListing() : handle_(nullptr), state_(nullptr) {}

DirectoryListing::~DirectoryListing() {
    closeListing(handle_, state_);
}

bool DirectoryListing::open(const char* directory) {
    closeListing(handle_, state_);
    std::string native = nativePath(directory);
    if (native.empty()) native = ".";
    DIR* dir = opendir(native.c_str());
    if (dir == nullptr) {
        posix::setLastErrorFromErrno(errno);
        return false;
    }
    if (native.back() != '/') native += '/';
    handle_ = dir;
    state_ = new ListingState{native};
    return true;
}

bool DirectoryListing::next(Entry* entry) {
    if (handle_ == nullptr) return false;
    auto* state = static_cast<ListingState*>(state_);
    for (;;) {
        errno = 0;
        dirent* found = readdir(static_cast<DIR*>(handle_));
        if (found == nullptr) {
            if (errno != 0) posix::setLastErrorFromErrno(errno);
            return false;
        }
        if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;

        std::size_t length = std::strlen(found->d_name);
        if (length >= sizeof entry->name) continue;  // no Windows program could name it
        std::memcpy(entry->name, found->d_name, length + 1);

        bool isDirectory = found->d_type == DT_DIR;
        if (found->d_type == DT_UNKNOWN || found->d_type == DT_LNK) {
            // A link to a directory lists as a directory, so a walk descends into it.
            struct stat info {};
            isDirectory = stat((state->directory + found->d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        entry->isDirectory = isDirectory;
        return true;
    }
}

}  // namespace platform
