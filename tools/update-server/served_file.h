// The file one client is reading, kept open from its first chunk to its
// last: a chunk costs no open, fstat or close, and its payload goes from the
// file to the socket without passing through the server (sendfile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "package_catalog.h"

class ServedFile {
public:
    ServedFile() = default;
    ~ServedFile();
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;

    // ReadChunk's answer for the file of this build asked for, which is then
    // the open one; its payload is left in the file, from offset on. A null
    // build (an unknown package) gets a refusal.
    ChunkAnswer Locate(const std::shared_ptr<const PackageBuild>& build, uint16_t serial, uint32_t offset,
                       std::size_t maxPayload);

    // The same for bytes the server holds itself in fd (the mirror list),
    // which stays the caller's: the open file is a descriptor of its own.
    ChunkAnswer LocateHeld(int fd, unsigned long long size, uint32_t offset, std::size_t maxPayload);

    // The client has finished with it (last chunk sent or refused).
    void Close();
    bool open() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    // make-package marked the open file as worth deflating.
    bool deflates() const { return fd_ >= 0 && build_ && build_->Deflates(serial_); }
    // Where make-package stored the deflated reply payload for the chunk of
    // rawBytes at offset, when it did: a piece of its own, read from by
    // sendfile as the file itself is.
    bool StoredDeflated(uint32_t offset, std::size_t rawBytes, int* fd, long long* at, std::size_t* bytes);

private:
    int fd_ = -1;
    unsigned long long size_ = 0;
    std::shared_ptr<const PackageBuild> build_;
    uint16_t packageId_ = 0;
    uint16_t serial_ = 0;
    bool held_ = false;  // the open file is LocateHeld's, no build's
    // The stored replies of the open file: opened at its first deflated
    // chunk; their piece size and count.
    enum class Stored { Untried, Absent, Open } stored_ = Stored::Untried;
    int storedFd_ = -1;
    std::size_t storedPiece_ = 0;
    std::size_t storedCount_ = 0;
};
