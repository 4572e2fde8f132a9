// The block codec: arbitrary payloads decompressed by the exported class and
// by the strict codec the streams use, and every input compressed and
// decompressed again, which must give it back exactly.
// Input: the expected uncompressed size (4 little-endian bytes, taken modulo
// one more than the block size), then the payload / block bytes.
#include <cstring>
#include <memory>
#include <vector>

#include "BlockCodec.h"
#include "fuzz_support.h"
#include "zlibCompressBlock.h"

namespace {
constexpr std::uint64_t kBlock = 4190208;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint64_t expected =
        (std::uint64_t{data[0]} | std::uint64_t{data[1]} << 8 | std::uint64_t{data[2]} << 16 |
         std::uint64_t{data[3]} << 24) % (kBlock + 1);
    const unsigned char* in = data + 4;
    const std::uint64_t n = size - 4;
    static std::vector<unsigned char> out(kBlock + 128), back(kBlock + 128);
    static const std::unique_ptr<veld::BlockCodec> codec = veld::makeBlockCodec();

    // Decompressing arbitrary bytes: refused or not, never past the buffer.
    zlibCompressBlock z;
    std::uint64_t outCount = kBlock;
    const int ok = z.decompressBlock(in, n, out.data(), outCount);
    if (ok && outCount > kBlock) veldfuzz::finding("decompressBlock wrote past the block");
    veld::InflateOutcome seen;
    const bool exact = codec->decompressExact(in, n, out.data(), kBlock, expected, &seen);
    if (seen.produced > kBlock || seen.consumed > n) veldfuzz::finding("decompressExact overran");
    if (exact && (seen.produced != expected || !seen.streamEnded || seen.consumed != n))
        veldfuzz::finding("decompressExact accepted what it should refuse");

    // Round trip of the input as block data (at most one block).
    const std::uint64_t m = n < kBlock ? n : kBlock;
    if (m == 0) return 0;
    std::vector<unsigned char> payload(codec->compressBound(m));
    std::uint64_t len = 0;
    veldfuzz::refusalsAreFine([&] { len = codec->compress(in, m, payload.data(), payload.size()); });
    if (len == 0) veldfuzz::finding("the codec refused to compress");
    if (!codec->decompressExact(payload.data(), len, back.data(), kBlock, m) || std::memcmp(back.data(), in, m) != 0)
        veldfuzz::finding("codec round trip changed the bytes");

    std::vector<unsigned char> zpayload(m + m / 1000 + 64);
    std::uint64_t zlen = zpayload.size();
    if (!z.compressBlock(in, m, zpayload.data(), zlen)) veldfuzz::finding("compressBlock failed");
    std::uint64_t zback = kBlock;
    if (!z.decompressBlock(zpayload.data(), zlen, back.data(), zback) || zback != m ||
        std::memcmp(back.data(), in, m) != 0)
        veldfuzz::finding("zlibCompressBlock round trip changed the bytes");
    return 0;
}
