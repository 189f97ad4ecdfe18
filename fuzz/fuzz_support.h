// What the fuzz targets share: a scratch directory of their own, files
// written from the input, a clock that never waits, and a link whose reply
// bytes come from the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "net/frames.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace fuzz {

// A finding: libFuzzer keeps the input that got here, and the line names
// which requirement failed (the stack it prints starts at the abort).
inline void require(bool condition, const char* file = __builtin_FILE(),
                    int line = __builtin_LINE()) {
    if (condition) return;
    std::fprintf(stderr, "fuzz requirement failed at %s:%d\n", file, line);
    std::abort();
}

// One directory per fuzzing process, made on first use and removed at exit.
inline const std::string& scratch() {
    static const std::string* dir = [] {
        char pattern[] = "/tmp/autoupdate_fuzz_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) std::abort();
        return new std::string(made);
    }();
    static const bool removedAtExit = [] {
        return std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*dir, ignored);
        }) == 0;
    }();
    (void)removedAtExit;
    return *dir;
}

inline std::string scratchFile(const char* name) {
    return scratch() + "/" + name;
}

inline void writeFile(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 0) std::fwrite(data, 1, size, out);
    std::fclose(out);
}

inline bool terminatedWithin(const char* text, std::size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

// Pauses cost nothing; every read of the link moves this clock on, so the
// frame deadline is reached by inputs that split a frame into many reads.
inline uint32_t& now() {
    static uint32_t tick = 0;
    return tick;
}
constexpr uint32_t kMsPerRead = 1500;

inline void installClock() {
    static const platform::ClockHooks hooks{[] { return now(); }, [](uint32_t) {}};
    platform::setClockForTests(&hooks);
}

// The server's side of the link: the input, handed out in reads of at most
// the next input byte's value plus one (so frames split anywhere); once it is
// spent the server has closed the connection.
struct ServerBytes {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t used = 0;
    std::size_t requestBytes = 0;

    static ServerBytes& current() {
        static ServerBytes bytes;
        return bytes;
    }
    static int send(const uint8_t*, int length) {
        current().requestBytes += static_cast<std::size_t>(length);
        return length;
    }
    static int receive(uint8_t* out, int length, uint32_t) {
        ServerBytes& in = current();
        now() += kMsPerRead;
        if (in.used >= in.size) return 0;
        std::size_t piece = static_cast<std::size_t>(in.data[in.used++]) + 1;
        std::size_t left = in.size - in.used;
        if (piece > left) piece = left;
        if (piece > static_cast<std::size_t>(length)) piece = static_cast<std::size_t>(length);
        std::memcpy(out, in.data + in.used, piece);
        in.used += piece;
        return static_cast<int>(piece);
    }
};

// The link seam in place of a socket: g_Socket only has to be nonzero.
inline void serveLink(const uint8_t* data, std::size_t size) {
    static const LinkHooks hooks{ServerBytes::send, ServerBytes::receive};
    ServerBytes& in = ServerBytes::current();
    in = ServerBytes{};
    in.data = data;
    in.size = size;
    setLinkForTests(&hooks);
    g_Socket = 1;
}

// A fresh run in the scratch directory with no server to reconnect to, so
// that a failed read ends the transfer.
inline void freshRun() {
    resetRunState();
    installClock();
    g_RunState.workerFinished = 0;
    std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", scratch().c_str());
    std::snprintf(g_RunState.packageName, sizeof g_RunState.packageName, "client");
    std::snprintf(g_RunState.serverPackageName, sizeof g_RunState.serverPackageName, "client");
}

}  // namespace fuzz
