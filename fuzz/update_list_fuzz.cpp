// Feeds arbitrary list files to readUpdateList and checks what every stored
// record must look like, whatever the server sent.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "files/list_path_check.h"
#include "files/update_list.h"
#include "fuzz_support.h"
#include "run/run_state.h"

namespace {

UpdateListEntry* records() {
    static UpdateListEntry* list = new UpdateListEntry[kUpdateListCapacity];
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = fuzz::scratchFile("list.upd");
    fuzz::writeFile(file, data, size);

    int32_t count = -1;
    bool overlong = false;
    UpdateListEntry* list = records();
    readUpdateList(file.c_str(), list, &count, &overlong);

    fuzz::require(count >= 0 && count <= kUpdateListCapacity);
    for (int32_t i = 0; i < count; ++i) {
        const UpdateListEntry& entry = list[i];
        fuzz::require(fuzz::terminatedWithin(entry.path, sizeof entry.path));
        fuzz::require(fuzz::terminatedWithin(entry.md5, sizeof entry.md5));
        fuzz::require(entry.path[0] == '/');
        fuzz::require(std::strchr(entry.path, '\\') == nullptr);
        fuzz::require(entry.needsDownload);
    }
    ListIsSafe(list, count);
    return 0;
}
