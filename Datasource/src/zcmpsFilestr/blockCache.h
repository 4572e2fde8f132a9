// A few inflated blocks of a reading compressed stream, kept so that reads
// near recent ones inflate nothing. An entry may hold only the start of its
// block (a read stopped early); `ready` says how much. Memory: one block per
// entry in use, allocated when first used. Least recently used goes first.
// Thread contract: one thread at a time (the owning stream's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compressedLayout.h"
#include "large_memory.h"

namespace veld {

class BlockCache {
public:
    struct Entry {
        blockInfo record{};
        std::uint64_t ready = 0;  // bytes from the block's start inflated into `bytes`
        unsigned char* bytes = nullptr;
        bool inUse = false;
        std::uint64_t lastUse = 0;
        LargeBuffer buffer;
    };

    // Keeps at most n blocks; 0 turns the cache off. Drops what it held.
    void resize(std::size_t n);
    std::size_t capacity() const { return fEntries.size(); }
    // The entry holding this record's block (all four fields alike), or null.
    Entry* find(const blockInfo& record);
    // An entry for this record, holding nothing yet: a free one, or the least
    // recently used. Null when the cache is off.
    Entry* take(const blockInfo& record);
    // Forgets every block (the file was left, or a block failed).
    void clear();
    // Forgets the blocks held only in part.
    void dropPartial();

private:
    std::vector<Entry> fEntries;
    std::uint64_t fClock = 0;
};

}  // namespace veld
