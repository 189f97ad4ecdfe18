#include "block_sum_table.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "files/md5.h"

namespace {

// A longer prefix only makes a wrong match rarer, and a wrong match costs the
// client one fetch of the whole file.
constexpr uint8_t kStrongBytes = 6;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool SumFile(const std::string& path, BlockSums* sums)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return false;
    const long long size = std::ftell(file.get());
    if (size < 0 || size > 0xFFFFFFFFLL || std::fseek(file.get(), 0, SEEK_SET) != 0) return false;

    *sums = BlockSums();
    sums->fileSize = static_cast<uint32_t>(size);
    sums->blockSize = ChooseSumBlock(static_cast<uint64_t>(size));
    sums->strongBytes = kStrongBytes;
    Md5Context whole;
    Md5Init(&whole);
    std::vector<uint8_t> block(sums->blockSize);
    for (long long left = size; left > 0;) {
        const std::size_t want = left < sums->blockSize ? static_cast<std::size_t>(left) : sums->blockSize;
        if (std::fread(block.data(), 1, want, file.get()) != want) return false;
        left -= static_cast<long long>(want);
        RollingSum weak;
        weak.start(block.data(), static_cast<uint32_t>(want));
        sums->weak.push_back(weak.value());
        Md5Context context;
        uint8_t digest[16];
        Md5Init(&context);
        Md5Update(&context, block.data(), want);
        Md5Final(digest, &context);
        sums->strong.insert(sums->strong.end(), digest, digest + kStrongBytes);
        Md5Update(&whole, block.data(), want);
    }
    Md5Final(sums->fileMd5, &whole);
    return true;
}

bool WriteBlockSums(const BlockSums& sums, const std::string& path)
{
    const std::vector<uint8_t> bytes = EncodeBlockSums(sums);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    return std::fclose(file.release()) == 0 && written;
}
