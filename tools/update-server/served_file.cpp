#include "served_file.h"

#include <unistd.h>

ServedFile::~ServedFile() { Close(); }

void ServedFile::Close()
{
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    build_.reset();
}

ChunkAnswer ServedFile::Locate(const std::shared_ptr<const PackageBuild>& build, uint16_t serial, uint32_t offset,
                               std::size_t maxPayload)
{
    if (!build) {
        Close();
        return ChunkAnswer();
    }
    // A file already under way is finished from the build it began in, so it
    // matches the list the client holds even when a newer build came since.
    const bool sameFile = fd_ >= 0 && build->id == packageId_ && serial == serial_;
    if (!sameFile || (offset == 0 && build != build_)) {
        Close();
        fd_ = build->OpenFile(serial, &size_);
        if (fd_ < 0) return ChunkAnswer();
        build_ = build;
        packageId_ = build->id;
        serial_ = serial;
    }
    ChunkAnswer answer = MeasureServedPiece(size_, offset, maxPayload);
    if (answer.flag == 0) Close();
    return answer;
}
