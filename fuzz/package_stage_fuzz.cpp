// The package stage from arbitrary .cms bytes, served by a well-behaved link:
// a list it hands on is safe to install from, and no failure touches the
// installed list.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "files/list_path_check.h"
#include "fuzz_support.h"
#include "net/frames.h"
#include "run/run_state.h"
#include "worker/package_stage.h"

namespace {

constexpr std::size_t kChunkPayload = kMaxReplyBody - 1;

// Chunk replies that carry the package whole, one per request.
struct PackageServer {
    std::vector<std::vector<uint8_t>> replies;
    std::size_t next = 0;

    static PackageServer& current() {
        static PackageServer server;
        return server;
    }
    static int send(const uint8_t*, int length) { return length; }
    static int receive(uint8_t* out, int length, uint32_t) {
        PackageServer& server = current();
        if (server.next >= server.replies.size()) return 0;
        const std::vector<uint8_t>& reply = server.replies[server.next++];
        if (reply.size() > static_cast<std::size_t>(length)) return -1;
        std::memcpy(out, reply.data(), reply.size());
        return static_cast<int>(reply.size());
    }

    void load(const uint8_t* data, std::size_t size) {
        replies.clear();
        next = 0;
        std::size_t offset = 0;
        do {
            std::size_t piece = size - offset < kChunkPayload ? size - offset : kChunkPayload;
            std::vector<uint8_t> reply(3 + piece);
            reply[0] = static_cast<uint8_t>((piece + 1) & 0xFF);
            reply[1] = static_cast<uint8_t>((piece + 1) >> 8);
            reply[2] = offset + piece == size ? 2 : 1;
            if (piece > 0) std::memcpy(reply.data() + 3, data + offset, piece);
            replies.push_back(reply);
            offset += piece;
        } while (offset < size);
    }
};

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::freshRun();
    static const LinkHooks hooks{PackageServer::send, PackageServer::receive};
    PackageServer::current().load(data, size);
    setLinkForTests(&hooks);
    g_Socket = 1;
    // The package reply: number 7 at offset 112.
    g_RunState.receiveBuffer[0] = 112;
    g_RunState.receiveBuffer[112] = 7;

    const std::string installedList = fuzz::scratchFile("client.upd");
    const PackageStage stage = runPackageStage();
    // Without publisher keys nothing can send the run to another server.
    fuzz::require(stage != PackageStage::Refused);
    const bool handedOn = stage == PackageStage::Done;

    fuzz::require(!exists(installedList));
    if (handedOn) {
        RunState& run = g_RunState;
        fuzz::require(!run.runFailed);
        fuzz::require(run.newCount >= 0 && run.newCount < kUpdateListCapacity);
        fuzz::require(ListIsSafe(run.newList, run.newCount));
        fuzz::require(static_cast<uint32_t>(run.wei) == size);
        fuzz::require(std::strlen(run.packageDigest) == 32);
    } else {
        fuzz::require(g_RunState.workerFinished);
    }
    setLinkForTests(nullptr);
    g_Socket = 0;
    return 0;
}
