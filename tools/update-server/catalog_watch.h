// Tells the loop when ROOT changed (make-package renames a new manifest or
// build link into it), so the catalogue is checked then instead of on every
// wake-up.
#pragma once

#include <string>

class CatalogWatch {
public:
    CatalogWatch() = default;
    ~CatalogWatch();
    CatalogWatch(const CatalogWatch&) = delete;
    CatalogWatch& operator=(const CatalogWatch&) = delete;

    // False when the folder cannot be watched; the loop then checks the
    // catalogue once a second.
    bool Open(const std::string& root);
    // A descriptor that is readable when ROOT changed; -1 when not open.
    int fd() const { return fd_; }
    // Takes in every pending change; true when there was one.
    bool Drain();

private:
    int fd_ = -1;
};
