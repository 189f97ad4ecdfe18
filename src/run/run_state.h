// The process-wide state of the one update run.
#pragma once

#include <atomic>
#include <cstdint>

#include "autoupdate.h"
#include "platform/crypto.h"
#include "platform/platform.h"
#include "run/update_list_entry.h"

struct ServerEntry {
    char ip[20];
    int32_t port;  // 0: the default port 38432
    uint8_t tried;
    // A host name or IPv6 address, for the resolver; ip is then empty. A
    // dotted row leaves it empty and keeps its 19 characters in ip.
    char name[256];
};

constexpr int kServerTableRows = 20;
constexpr int kServerTableLimit = 19;  // rows counted by the worker
constexpr int kReceiveBufferSize = 10240;
constexpr uint16_t kDefaultServerPort = 38432;

using DownloadTableEntry = AutoUpdateTableRow;
static_assert(sizeof(DownloadTableEntry) == 204, "the host reads 204-byte rows");

// Static storage is zero before RunState() raises workerFinished, so the
// megabytes of lists stay out of the library's data section.
struct RunState {
    RunState();

    // Shared with the host's thread: each read and written whole.
    std::atomic<platform::HostWindow> hostWindow;
    std::atomic<uint8_t> stopRequested;
    std::atomic<uint8_t> inNotify;
    std::atomic<uint8_t> workerFinished;

    platform::ThreadHandle workerThread;
    uint32_t workerThreadId;
    uint8_t runFailed;
    uint8_t installOk;
    // A volume had too little space: nothing more is fetched in this run.
    uint8_t diskFull;

    char gameDir[256];
    char systemDir[256];
    char xmlPath[256];
    char packageName[256];
    char serverPackageName[261];
    char systemPackageName[256];
    char packageDigest[40];
    // The launcher's address: its digits and dots, or a server name whole.
    char preferredServerIp[256];

    // The publisher's public keys from gamedata.xml (rotation: up to two);
    // with none the run takes whatever the server serves, as it always did.
    uint8_t publisherKeys[2][platform::kP256PublicKeyBytes];
    int32_t publisherKeyCount;
    // gamedata.xml's cap on the download rate in KiB/s; 0: none.
    uint32_t receiveLimitKiB;

    int32_t serverCount;
    ServerEntry ServerTable[kServerTableRows];
    uint16_t packageFileId;
    uint8_t receiveBuffer[kReceiveBufferSize];
    // A whole reply frame arrived at frameArrivedMicros and its pause before
    // the next request is not yet over (net/frames.h).
    uint8_t pauseOwed;
    uint64_t frameArrivedMicros;
    // Our own server offered its fast mode in the package reply and the
    // connection it came on still stands (net/fast_mode.h).
    uint8_t fastMode;
    // "address:port" of the server g_Socket is connected to; empty before the
    // first connect and after a failed one.
    char linkAddress[280];
    char downloadAddress[256];

    int32_t wei;
    int32_t sendnow;
    // File bytes that did not travel: copied from the installed file or
    // carried deflated, less what the block tables cost.
    int64_t bytesSaved;
    bool speedActive;
    uint32_t speedTick;
    int32_t speedBytes;

    UpdateListEntry installedList[kUpdateListCapacity];
    int32_t installedCount;
    UpdateListEntry newList[kUpdateListCapacity];
    int32_t newCount;
    DownloadTableEntry downloadTable[kUpdateListCapacity];
    char currentFile[256];
};

extern RunState g_RunState;

// The one connection of the run; 0 means none.
extern std::atomic<platform::Socket> g_Socket;

// Puts every field back to its value at load (tests start each case so).
void resetRunState();
