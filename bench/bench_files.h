// Scratch files for the digest benchmarks, removed with the object.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class ScratchTree {
public:
    ScratchTree();
    ~ScratchTree();
    ScratchTree(const ScratchTree&) = delete;
    ScratchTree& operator=(const ScratchTree&) = delete;

    bool ok() const { return !root_.empty(); }
    // A file of `size` pseudo-random bytes (the same bytes for the same seed).
    std::string addFile(const std::string& name, std::size_t size, unsigned seed);
    // `count` files whose sizes spread like a game tree's: many small, a few
    // large, about `totalBytes` in all.
    std::vector<std::string> addGameTree(std::size_t count, std::size_t totalBytes);

private:
    std::string root_;
};

// Reads every file once so that a benchmark times digesting, not the disk.
void WarmPageCache(const std::vector<std::string>& paths);

// One file of `size` bytes per size, made on first use and kept for the
// process; empty when it cannot be written.
const std::string& SharedFile(std::size_t size);

// A game tree like a large package's first run finds on disk.
constexpr std::size_t kGameTreeFiles = 4399;
constexpr std::size_t kGameTreeBytes = 200u << 20;
const std::vector<std::string>& SharedGameTree();
