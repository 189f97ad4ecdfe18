// Record numbers of a list grouped by a hash of a key, so that finding the
// records with a given key costs about one comparison instead of a scan of
// the whole list.
#pragma once

#include <cstdint>
#include <vector>

// FNV-1a over a NUL-terminated text, continuing from seed.
uint32_t HashText(const char* text, uint32_t seed = 2166136261u);

class RecordIndex {
public:
    // Indexes records 0 .. count-1 under hashes[i].
    void build(const uint32_t* hashes, int32_t count);

    // The records whose hash falls into the bucket of hash, in ascending
    // order: first(hash), then next() until -1. Records of other hashes may
    // share the bucket, so callers compare the keys themselves.
    int32_t first(uint32_t hash) const;
    int32_t next(int32_t record) const { return next_[static_cast<std::size_t>(record)]; }

private:
    std::vector<int32_t> heads_;
    std::vector<int32_t> next_;
    uint32_t mask_ = 0;
};
