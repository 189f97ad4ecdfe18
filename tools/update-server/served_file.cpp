#include "served_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "deflated_chunk.h"

ServedFile::~ServedFile() { Close(); }

void ServedFile::Close()
{
    if (fd_ >= 0) close(fd_);
    if (storedFd_ >= 0) close(storedFd_);
    fd_ = storedFd_ = -1;
    held_ = false;
    stored_ = Stored::Untried;
    build_.reset();
}

bool ServedFile::StoredDeflated(uint32_t offset, std::size_t rawBytes, int* fd, long long* at, std::size_t* bytes)
{
    if (stored_ == Stored::Untried) {
        stored_ = Stored::Absent;
        uint8_t head[kStoredHeadBytes];
        storedFd_ = deflates() ? build_->OpenDeflated(serial_) : -1;
        if (storedFd_ >= 0 && pread(storedFd_, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head)) {
            storedPiece_ = wire::ReadLe32(head);
            storedCount_ = wire::ReadLe32(head + 4);
            if (storedPiece_ > 0) stored_ = Stored::Open;
        }
    }
    if (stored_ != Stored::Open || offset % storedPiece_ != 0 || offset / storedPiece_ >= storedCount_) return false;
    // Only the whole piece: what a chunk of the piece size from its start gives.
    const unsigned long long left = size_ - offset;
    if (rawBytes != (left < storedPiece_ ? left : storedPiece_)) return false;
    uint8_t entry[kStoredEntryBytes];
    const off_t place = static_cast<off_t>(kStoredHeadBytes + kStoredEntryBytes * (offset / storedPiece_));
    if (pread(storedFd_, entry, sizeof entry, place) != static_cast<ssize_t>(sizeof entry)) return false;
    *fd = storedFd_;
    *at = wire::ReadLe32(entry);
    *bytes = wire::ReadLe32(entry + 4);
    return *bytes > 0;
}

ChunkAnswer ServedFile::LocateHeld(int fd, unsigned long long size, uint32_t offset, std::size_t maxPayload)
{
    Close();
    fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) return ChunkAnswer();
    held_ = true;
    size_ = size;
    ChunkAnswer answer = MeasureServedPiece(size_, offset, maxPayload);
    if (answer.flag == 0) Close();
    return answer;
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
    const bool sameFile = fd_ >= 0 && !held_ && build->id == packageId_ && serial == serial_;
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
