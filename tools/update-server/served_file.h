// The file one client is reading, kept open from its first chunk to its
// last: a chunk costs one pread, not an open, an fstat and a close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package_catalog.h"

class ServedFile {
public:
    ServedFile() = default;
    ~ServedFile();
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;

    // ReadChunk's answer, from the open file when it is the one asked for.
    ChunkAnswer Read(const PackageCatalog& catalog, uint16_t packageId, uint16_t serial, uint32_t offset,
                     std::size_t maxPayload, uint8_t* payload);

    // The client has finished with it (last chunk sent or refused).
    void Close();
    bool open() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    unsigned long long size_ = 0;
    unsigned long long generation_ = 0;
    uint16_t packageId_ = 0;
    uint16_t serial_ = 0;
};
