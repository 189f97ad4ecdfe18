// Writing a file so that readers see either the old content or the new one,
// never a half-written file: write beside the target, then rename over it.
#pragma once

#include <string>

namespace platform {
namespace posix {

// Temporary files are named "{prefix}{pid}.{serial}.tmp", so that one left by
// a process that was killed before its rename is recognised and removed.
extern const char kTemporaryPrefix[];

class ReplacementFile {
public:
    // target is a native path; the temporary file lives in its directory so
    // that the final rename stays on one file system.
    explicit ReplacementFile(const std::string& target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the temporary file with the given mode; false with lastError set.
    // The first replacement in a directory removes the temporaries that dead
    // processes left there.
    bool create(unsigned mode);
    bool write(const void* data, std::size_t length);
    // Closes and renames over the target; false with lastError set (the
    // temporary file is removed and the target left as it was).
    bool commit();

    int descriptor() const { return fd_; }

private:
    std::string target_;
    std::string temporary_;
    int fd_;
};

// Removes from directory ("" for the working directory, else ending in "/")
// every temporary of a process that no longer runs; the number removed.
int removeLeftoverTemporaries(const std::string& directory);

// The same, at most once per directory in this process: every way of putting
// a file into a directory calls it, so the leftovers of a killed run go at the
// next run whichever way that run installs.
void removeLeftoverTemporariesOnce(const std::string& directory);

}  // namespace posix
}  // namespace platform
