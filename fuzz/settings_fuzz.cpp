// update.ini and {packageName}Md5.ini from arbitrary bytes: the server-side
// name always fits its field, and the digest written over any digest file
// reads back as written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/settings_files.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "run/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::freshRun();
    fuzz::writeFile(fuzz::scratchFile("update.ini"), data, size);
    const std::string digestFile = fuzz::scratchFile("clientMd5.ini");
    fuzz::writeFile(digestFile, data, size);

    readServerPackageName(g_RunState.gameDir);
    fuzz::require(fuzz::terminatedWithin(g_RunState.serverPackageName, sizeof g_RunState.serverPackageName));
    fuzz::require(g_RunState.serverPackageName[0] != '\0');

    std::snprintf(g_RunState.packageDigest, sizeof g_RunState.packageDigest, "%s",
                  "0123456789abcdef0123456789abcdef");
    writePackageDigest();
    char back[64] = {};
    platform::readProfileString("MD5", "MD5", "", back, sizeof back, digestFile.c_str());
    fuzz::require(std::strcmp(back, g_RunState.packageDigest) == 0);
    return 0;
}
