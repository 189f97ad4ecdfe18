// Prints "digest  path" for every argument, as sha256sum does, through the
// platform SHA-256: a whole-process counterpart of sha256sum for
// bench/sha256_vs_sha256sum.sh.
#include <cstdio>
#include <vector>

#include "platform/crypto.h"

int main(int argc, char** argv)
{
    int status = 0;
    std::vector<unsigned char> block(64 << 10);
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            status = 1;
            continue;
        }
        std::setvbuf(file, nullptr, _IONBF, 0);
        platform::Sha256 hash;
        std::size_t got;
        while ((got = std::fread(block.data(), 1, block.size(), file)) != 0) hash.update(block.data(), got);
        bool failed = std::ferror(file) != 0;
        std::fclose(file);
        uint8_t digest[platform::kSha256Bytes];
        if (!hash.finish(digest) || failed) {
            status = 1;
            continue;
        }
        for (uint8_t byte : digest) std::printf("%02x", byte);
        std::printf("  %s\n", argv[i]);
    }
    return status;
}
