#include "served_file.h"

#include <unistd.h>

ServedFile::~ServedFile() { Close(); }

void ServedFile::Close()
{
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

ChunkAnswer ServedFile::Locate(const PackageCatalog& catalog, uint16_t packageId, uint16_t serial, uint32_t offset,
                               std::size_t maxPayload)
{
    // A file already under way is finished from the build it began in, so it
    // matches the list the client holds even when a newer build came since.
    const bool sameFile = fd_ >= 0 && packageId == packageId_ && serial == serial_;
    if (!sameFile || (offset == 0 && catalog.generation() != generation_)) {
        Close();
        fd_ = catalog.OpenServedFile(packageId, serial, &size_);
        if (fd_ < 0) return ChunkAnswer();
        packageId_ = packageId;
        serial_ = serial;
        generation_ = catalog.generation();
    }
    ChunkAnswer answer = MeasureServedPiece(size_, offset, maxPayload);
    if (answer.flag == 0) Close();
    return answer;
}
