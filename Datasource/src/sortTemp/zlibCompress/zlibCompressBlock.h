// One-shot block compression and decompression with zlib: one deflate or
// inflate call with Z_FINISH per block. Results: the count produced, or 0 on
// failure with outCount left alone. A success means only that zlib ran; the
// caller checks the count.
// Thread contract: one thread at a time per object.
#pragma once

#include <cstdint>

#include "veld_api.h"

class VELD_API zlibCompressBlock {
public:
    int compressBlock(const unsigned char* souce, std::uint64_t inCount, unsigned char* dest,
                      std::uint64_t& outCount);
    int decompressBlock(const unsigned char* souce, std::uint64_t inCount, unsigned char* dest,
                        std::uint64_t& outCount);

private:
    int zlibDriver(int level, bool compress, int flush, std::uint64_t& callerOutCount);

    std::uint64_t inCount = 0;
    const unsigned char* source = nullptr;
    std::uint64_t outCount = 0;
    unsigned char* dest = nullptr;
};
