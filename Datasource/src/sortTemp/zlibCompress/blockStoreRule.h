// How a writer turns one block into stored payloads. A payload never exceeds
// kMaxStoredPayload bytes, since readers decompress from a buffer of that size.
// A block whose payload would is stored instead as two blocks of its own: its
// first floor(n/2) bytes, then the rest, each compressed separately. The
// decision looks at this block alone, so blocks can be compressed
// independently, in any order, and block boundaries never depend on another
// block's result. Every writer (inline, background, appending) goes through
// compressForStore.
// Thread contract: safe for concurrent use with distinct codecs and buffers.
#pragma once

#include <cstdint>

#include "BlockCodec.h"

namespace veld {

constexpr std::uint64_t kMaxStoredPayload = 0x3FF000;  // 4,190,208: the block size

// One stored block: bytes [inOffset, inOffset + inSize) of the handed-over
// block, compressed to payloadSize bytes at dest + payloadOffset.
struct StoredPiece {
    std::uint64_t inOffset;
    std::uint64_t inSize;
    std::uint64_t payloadOffset;
    std::uint64_t payloadSize;
};

struct StoredBlock {
    int count = 0;  // 1, or 2 when the block had to be halved
    StoredPiece piece[2]{};
    std::uint64_t totalPayload() const {
        return count == 2 ? piece[0].payloadSize + piece[1].payloadSize : piece[0].payloadSize;
    }
};

// Room dest must have for a block of n bytes.
std::uint64_t storeRoom(const BlockCodec& codec, std::uint64_t n);

// Compresses n (1 to kMaxStoredPayload) bytes into dest (room bytes, at least
// storeRoom(n)), halving the block when one payload would not fit the limit.
// The payloads lie back to back from dest on. Raises veld::CheckFailure
// ("ret != 0") when the codec fails.
StoredBlock compressForStore(BlockCodec& codec, const unsigned char* src, std::uint64_t n,
                             unsigned char* dest, std::uint64_t room);

}  // namespace veld
