// The HTTP mirrors that hold the files of signed builds (--mirror), as the
// server hands them to our clients for the reserved serial 0xFFFC: the base
// URLs in the operator's order of preference, joined by "\n".
#pragma once

#include <memory>
#include <string>
#include <vector>

// Appends url to mirrors, with a "/" added where it lacks one; false with
// error for anything but an http:// or https:// URL of printable ASCII
// without spaces, of at most kMaxMirrorUrlBytes, or past kMaxMirrors.
bool AddMirror(const std::string& url, std::vector<std::string>* mirrors, std::string* error);

// The list's text in a descriptor of its own, so that its chunks leave by
// sendfile as a file's do.
class MirrorList {
public:
    // Null with error when the descriptor cannot be made.
    static std::shared_ptr<const MirrorList> Create(const std::vector<std::string>& mirrors, std::string* error);
    ~MirrorList();
    MirrorList(const MirrorList&) = delete;
    MirrorList& operator=(const MirrorList&) = delete;

    int descriptor() const { return fd_; }
    unsigned long long size() const { return text_.size(); }
    const std::string& text() const { return text_; }

private:
    MirrorList() = default;
    int fd_ = -1;
    std::string text_;
};
