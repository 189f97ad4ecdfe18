#include "raw_piece.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

const uint8_t* ReadRawPiece(int fd, long long offset, std::size_t rawBytes)
{
    // One event loop per thread answers one request at a time, so one buffer
    // per thread serves all its connections.
    thread_local std::vector<uint8_t> scratch;
    if (scratch.size() < rawBytes) scratch.resize(rawBytes);
    std::size_t done = 0;
    while (done < rawBytes) {
        const ssize_t got = pread(fd, scratch.data() + done, rawBytes - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return nullptr;
        done += static_cast<std::size_t>(got);
    }
    return scratch.data();
}
