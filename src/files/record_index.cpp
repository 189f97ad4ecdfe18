#include "files/record_index.h"

uint32_t HashText(const char* text, uint32_t seed) {
    uint32_t hash = seed;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
        hash = (hash ^ *c) * 16777619u;
    }
    return hash;
}

void RecordIndex::build(const uint32_t* hashes, int32_t count) {
    if (count < 0) count = 0;
    uint32_t buckets = 16;
    while (buckets < static_cast<uint32_t>(count) * 2u) buckets *= 2;
    mask_ = buckets - 1;
    heads_.assign(buckets, -1);
    next_.assign(static_cast<std::size_t>(count), -1);
    // Filled from the back, so that every chain runs in ascending order.
    for (int32_t i = count - 1; i >= 0; --i) {
        int32_t& head = heads_[hashes[i] & mask_];
        next_[static_cast<std::size_t>(i)] = head;
        head = i;
    }
}

int32_t RecordIndex::first(uint32_t hash) const {
    if (heads_.empty()) return -1;
    return heads_[hash & mask_];
}
