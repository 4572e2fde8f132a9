// Recycles the 4 MiB blocks that streams and read-ahead objects come and go
// with. A fresh block costs a page fault per 4 KiB the first time it is
// touched (about 16 ms for a window on a virtual machine), more than a
// stream spends reading 256 MiB from the page cache; a recycled block is warm.
// At most a few blocks are kept while no one uses them.
// Thread contract: safe for concurrent use.
#pragma once

#include <cstddef>

namespace veld {

// Memory for `size` bytes; blocks up to kRecycledBlockSize come from the cache.
void* takeBlock(std::size_t size);
// Gives back what takeBlock(size) returned.
void giveBackBlock(void* block, std::size_t size) noexcept;

constexpr std::size_t kRecycledBlockSize = std::size_t{4} << 20;

}  // namespace veld
