// gamedata.xml from arbitrary bytes into the server table: whatever the file
// holds, the table keeps its bounds and every text its terminator.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz_support.h"
#include "net/address_text.h"
#include "run/run_state.h"
#include "worker/server_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::freshRun();
    const std::string file = fuzz::scratchFile("gamedata.xml");
    fuzz::writeFile(file, data, size);
    std::snprintf(g_RunState.xmlPath, sizeof g_RunState.xmlPath, "%s", file.c_str());

    readGameData();

    RunState& run = g_RunState;
    fuzz::require(run.serverCount >= 0 && run.serverCount <= kServerTableLimit);
    for (const ServerEntry& row : run.ServerTable) {
        fuzz::require(fuzz::terminatedWithin(row.ip, sizeof row.ip));
        fuzz::require(fuzz::terminatedWithin(row.name, sizeof row.name));
    }
    // A counted row is a name for the resolver, or holds only digits and
    // dots. The latter may be empty, and the connect refuses an empty address.
    for (int32_t i = 0; i < run.serverCount; ++i) {
        const ServerEntry& row = run.ServerTable[i];
        fuzz::require(!row.name[0] || (isServerName(row.name) && !row.ip[0]));
        for (const char* c = row.ip; *c; ++c) {
            fuzz::require((*c >= '0' && *c <= '9') || *c == '.');
        }
    }
    fuzz::require(fuzz::terminatedWithin(run.downloadAddress, sizeof run.downloadAddress));
    return 0;
}
