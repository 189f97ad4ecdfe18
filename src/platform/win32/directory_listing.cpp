#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

struct ListingState {
    WIN32_FIND_DATAA data;
    bool pending;  // data holds an entry FindFirstFileA found and next() has not returned
};

void closeListing(void*& handle, void*& state) {
    if (handle != nullptr) FindClose(static_cast<HANDLE>(handle));
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
    std::string pattern = directory ? directory : "";
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += "*.*";

    auto* state = new ListingState{};
    HANDLE found = FindFirstFileA(pattern.c_str(), &state->data);
    if (found == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        delete state;
        // A drive root has no "." entry: an empty one finds nothing at all.
        if (error == ERROR_FILE_NOT_FOUND) {
            state_ = new ListingState{};
            return true;
        }
        SetLastError(error);
        return false;
    }
    state->pending = true;
    handle_ = found;
    state_ = state;
    return true;
}

bool DirectoryListing::next(Entry* entry) {
    auto* state = static_cast<ListingState*>(state_);
    if (handle_ == nullptr || state == nullptr) return false;
    for (;;) {
        if (state->pending) {
            state->pending = false;
        } else if (!FindNextFileA(static_cast<HANDLE>(handle_), &state->data)) {
            return false;
        }
        const char* name = state->data.cFileName;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        std::strncpy(entry->name, name, sizeof entry->name - 1);
        entry->name[sizeof entry->name - 1] = '\0';
        entry->isDirectory = (state->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return true;
    }
}

}  // namespace platform
