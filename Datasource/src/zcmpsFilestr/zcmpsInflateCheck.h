// Strict inflation of one payload for inspection and recovery: tells apart a
// stream that ends cleanly (checksum verified) from one that is cut, damaged
// or too big. Internal to the inspection units.
// Thread contract: pure functions; a Buffers object belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

#include "compressedLayout.h"
#include "large_memory.h"

namespace veld::inspect::detail {

struct Inflated {
    enum Kind { Complete, InputEnded, OutputFull, Damaged } kind;
    std::uint64_t produced = 0;
    std::uint64_t consumed = 0;
    std::string message;  // zlib's own words for Damaged
};

// One inflate call over the whole payload.
Inflated inflateStrict(const unsigned char* in, std::uint64_t n, unsigned char* out, std::uint64_t capacity);

// The problem of block k's payload, inflated from exactly its translateSize
// bytes ("" when it inflates to its recorded size and uses every byte).
std::string payloadProblem(std::int64_t k, const blockInfo& b, const Inflated& r);

// Room to inflate into: one byte more than a block, so that "too big" shows.
constexpr std::uint64_t kInflateRoom = static_cast<std::uint64_t>(layout::kBlockSize) + 1;

struct Buffers {
    veld::LargeBuffer payload{static_cast<std::size_t>(layout::kMaxPayloadSize)};
    veld::LargeBuffer out{static_cast<std::size_t>(kInflateRoom)};
};

// A zlib header (deflate, check bits hold) at bytes[0..1].
inline bool zlibHeader(const unsigned char* bytes) {
    return (bytes[0] & 0x0F) == 8 && ((bytes[0] << 8) | bytes[1]) % 31 == 0;
}

}  // namespace veld::inspect::detail

namespace veld::inspect {
class ByteSource;
}

namespace veld::inspect::detail {

// The stream at `at` of `file`, read with a small probe first and the most a
// payload may take only when the probe runs out; *readTo is where the input
// offered ended. A Damaged answer without a header when none is there.
Inflated probeStream(ByteSource& file, std::int64_t at, Buffers& work, std::int64_t* readTo = nullptr);

}  // namespace veld::inspect::detail
