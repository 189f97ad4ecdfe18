// Arbitrary server bytes through the package request exchange and one file
// transfer: every read ends, the file never holds more than it may, and a
// transfer that reports success received exactly what it wrote.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "net/file_transfer.h"
#include "net/frames.h"
#include "run/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    fuzz::freshRun();
    // Small limits, so that inputs reach the size check.
    const uint32_t maxBytes = static_cast<uint32_t>(data[0] | (data[1] << 8));
    g_RunState.wei = static_cast<int32_t>(maxBytes);
    fuzz::serveLink(data + 2, size - 2);

    if (requestPackage()) {
        fuzz::require(replyBuffsize() <= kMaxReplyBody);
        g_RunState.packageFileId = replyPackageFileId();
        const std::string target = fuzz::scratchFile("Update/fuzz.dat");
        ::unlink(target.c_str());
        downloadFile("fuzz.dat", "fuzz.dat", "Update\\", 1, maxBytes);

        struct stat written {};
        fuzz::require(::stat(target.c_str(), &written) == 0);
        fuzz::require(static_cast<uint64_t>(written.st_size) <= maxBytes);
        if (!g_RunState.runFailed) {
            fuzz::require(static_cast<uint32_t>(g_RunState.sendnow) == written.st_size);
        }
    } else {
        fuzz::require(g_RunState.runFailed || g_RunState.workerFinished);
    }
    fuzz::require(g_RunState.inNotify == 0);
    setLinkForTests(nullptr);
    g_Socket = 0;
    return 0;
}
