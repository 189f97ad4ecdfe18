#include "bench_files.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

ScratchTree::ScratchTree()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "autoupdate_bench_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
}

ScratchTree::~ScratchTree()
{
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

std::string ScratchTree::addFile(const std::string& name, std::size_t size, unsigned seed)
{
    std::string path = root_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return std::string();
    std::mt19937 generator(seed);
    std::vector<uint32_t> block(16384);
    for (std::size_t written = 0; written < size;) {
        for (auto& word : block) word = generator();
        std::size_t length = std::min(size - written, block.size() * sizeof block[0]);
        std::fwrite(block.data(), 1, length, file);
        written += length;
    }
    std::fclose(file);
    return path;
}

std::vector<std::string> ScratchTree::addGameTree(std::size_t count, std::size_t totalBytes)
{
    // Log-uniform sizes from 64 bytes to 64 times the mean, scaled to the total.
    std::mt19937 generator(4399);
    std::uniform_real_distribution<double> exponent(6.0, 22.0);
    std::vector<double> raw(count);
    double sum = 0;
    for (auto& size : raw) {
        size = std::exp2(exponent(generator));
        sum += size;
    }
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
        auto size = static_cast<std::size_t>(raw[i] * static_cast<double>(totalBytes) / sum);
        std::string name = "game/dir" + std::to_string(i % 37) + "/file" + std::to_string(i) + ".dat";
        paths.push_back(addFile(name, size, static_cast<unsigned>(i)));
        if (paths.back().empty()) return {};
    }
    return paths;
}

void WarmPageCache(const std::vector<std::string>& paths)
{
    std::vector<char> buffer(1 << 16);
    for (const auto& path : paths) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) continue;
        while (std::fread(buffer.data(), 1, buffer.size(), file) != 0) {
        }
        std::fclose(file);
    }
}

const std::string& SharedFile(std::size_t size)
{
    static ScratchTree tree;
    static std::vector<std::pair<std::size_t, std::string>> made;
    for (const auto& entry : made) {
        if (entry.first == size) return entry.second;
    }
    made.emplace_back(size, tree.addFile("shared" + std::to_string(size) + ".bin", size, 1321));
    WarmPageCache({made.back().second});
    return made.back().second;
}

const std::vector<std::string>& SharedGameTree()
{
    static ScratchTree tree;
    static std::vector<std::string> paths = [] {
        auto made = tree.addGameTree(kGameTreeFiles, kGameTreeBytes);
        WarmPageCache(made);
        return made;
    }();
    return paths;
}
