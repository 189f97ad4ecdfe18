// Feeds arbitrary list files to readUpdateList and checks what every stored
// record must look like, whatever the server sent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "files/list_path_check.h"
#include "files/update_list.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

const std::string& listFile() {
    static const std::string file = "/tmp/update_list_fuzz_" + std::to_string(getpid()) + ".upd";
    return file;
}

UpdateListEntry* records() {
    static UpdateListEntry* list = new UpdateListEntry[kUpdateListCapacity];
    return list;
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

// The list file's name has no "\", so the POSIX path conversion has nothing
// to do here.
std::FILE* platform::openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* out = std::fopen(listFile().c_str(), "wb");
    if (out == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    int32_t count = -1;
    bool overlong = false;
    UpdateListEntry* list = records();
    readUpdateList(listFile().c_str(), list, &count, &overlong);

    require(count >= 0 && count <= kUpdateListCapacity);
    for (int32_t i = 0; i < count; ++i) {
        const UpdateListEntry& entry = list[i];
        require(std::memchr(entry.path, '\0', sizeof entry.path) != nullptr);
        require(std::memchr(entry.md5, '\0', sizeof entry.md5) != nullptr);
        require(entry.path[0] == '/');
        require(std::strchr(entry.path, '\\') == nullptr);
        require(entry.needsDownload);
    }
    ListIsSafe(list, count);
    return 0;
}
