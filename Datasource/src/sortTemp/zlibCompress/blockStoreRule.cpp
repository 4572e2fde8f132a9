#include "blockStoreRule.h"

#include <algorithm>

#include "check.h"

namespace veld {

std::uint64_t storeRoom(const BlockCodec& codec, std::uint64_t n) {
    const std::uint64_t half = n / 2;
    return std::max(codec.compressBound(n), codec.compressBound(half) + codec.compressBound(n - half));
}

StoredBlock compressForStore(BlockCodec& codec, const unsigned char* src, std::uint64_t n,
                             unsigned char* dest, std::uint64_t room) {
    VELD_CHECK_AT(n >= 1 && n <= kMaxStoredPayload && room >= storeRoom(codec, n),
                  "a stored block holds 1 to 4190208 bytes");
    StoredBlock out;
    const std::uint64_t whole = codec.compress(src, n, dest, room);
    if (whole <= kMaxStoredPayload) {
        out.count = 1;
        out.piece[0] = {0, n, 0, whole};
        return out;
    }
    // Only data deflate cannot shrink gets here; each half's worst case is far below the limit.
    const std::uint64_t half = n / 2;
    const std::uint64_t first = codec.compress(src, half, dest, room);
    const std::uint64_t second = codec.compress(src + half, n - half, dest + first, room - first);
    VELD_CHECK_AT(first <= kMaxStoredPayload && second <= kMaxStoredPayload,
                  "a halved block still exceeds the payload limit");
    out.count = 2;
    out.piece[0] = {0, half, 0, first};
    out.piece[1] = {half, n - half, first, second};
    return out;
}

}  // namespace veld
