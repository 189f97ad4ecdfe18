#include "worker/patch_plans.h"

#include <cstdio>
#include <cstring>

#include "files/block_sums.h"
#include "files/md5.h"
#include "log/update_log.h"
#include "net/fast_mode.h"
#include "net/http_fetch.h"
#include "platform/platform.h"
#include "run/run_state.h"
#include "worker/signed_build.h"

void installedPath(const UpdateListEntry& entry, char* out, std::size_t size) {
    const RunState& run = g_RunState;
    std::snprintf(out, size, "%s%s", entry.systemFile == 0 ? run.gameDir : run.systemDir, entry.path);
}

bool planPatchedFile(const UpdateListEntry& entry, uint16_t serial, std::vector<PatchStep>* steps,
                     BlockSums* weakTable) {
    if (!g_RunState.fastMode || (fastOfferExtras().features & kFastFeatureBlockSums) == 0) return false;
    if (entry.size < static_cast<int32_t>(kMinSummedFile)) return false;
    char basisPath[512];
    installedPath(entry, basisPath, sizeof basisPath);
    std::FILE* basis = platform::openFile(basisPath, "rb");
    if (basis == nullptr) return false;
    const long basisSize = std::fseek(basis, 0, SEEK_END) == 0 ? std::ftell(basis) : -1;

    std::vector<uint8_t> table;
    BlockSums sums;
    char digest[33];
    bool planned = false;
    const uint32_t listed = static_cast<uint32_t>(entry.size);
    // A signed build's table is on its mirrors beside the file, under the
    // file's own SHA-256; the server has it too.
    const BuildManifestFile* signedAs = signedEntryOf(serial - 1);
    const bool fetched =
        basisSize >= 0 &&
        ((signedAs != nullptr && mirrorsInUse() && fetchTableFromMirrors(signedAs->sha256, MaxBlockSumsBytes(listed), &table)) ||
         fetchSideFileFast(static_cast<uint16_t>(serial | kFastBlockSumsSerialBit), MaxBlockSumsBytes(listed), &table));
    if (fetched) {
        // A table of another file would plan another file: it must name the
        // listed size and digest before anything is written.
        const bool parsed = ParseBlockSums(table.data(), table.size(), &sums);
        if (parsed) Md5ToHex(sums.fileMd5, digest);
        if (parsed && sums.fileSize == listed && std::strcmp(digest, entry.md5) == 0) {
            // A plan that copies nothing is the whole file, less its pipelining.
            const ProbeCheck check = weakTable != nullptr ? ProbeCheck::Weak : ProbeCheck::Strong;
            planned = PlanPatch(sums, basis, static_cast<uint64_t>(basisSize), steps, check) &&
                      FetchedBytes(*steps) < listed;
            if (planned && weakTable != nullptr) *weakTable = std::move(sums);
        } else {
            g_UpdateLog.write("%s的块校验表与列表不符", entry.path);
        }
    }
    std::fclose(basis);
    return planned;
}
