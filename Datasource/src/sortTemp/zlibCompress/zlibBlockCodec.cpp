// The zlib engine of the strict block codec.
#include <zlib.h>

#include <algorithm>
#include <climits>

#include "BlockCodec.h"
#include "check.h"

namespace veld {

namespace {

constexpr const char* kZlibVersionText = "1.2.3";  // zlib compares the first character only
constexpr int kBlockLevel = 1;                     // fastest: blocks are large and many

class ZlibBlockCodec final : public BlockCodec {
public:
    std::uint64_t compressBound(std::uint64_t n) const override {
        return ::compressBound(static_cast<uLong>(n));
    }

    std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity) override {
        VELD_CHECK(n <= UINT_MAX);
        z_stream zs{};
        std::uint64_t ret = 0;
        if (deflateInit_(&zs, kBlockLevel, kZlibVersionText, sizeof(z_stream)) == Z_OK) {
            const uInt room = static_cast<uInt>(std::min<std::uint64_t>(capacity, UINT_MAX));
            zs.next_in = const_cast<Bytef*>(src);
            zs.avail_in = static_cast<uInt>(n);
            zs.next_out = dest;
            zs.avail_out = room;
            // Only a finished stream is a payload; a full destination would cut it.
            if (deflate(&zs, Z_FINISH) == Z_STREAM_END) ret = room - zs.avail_out;
            deflateEnd(&zs);
        }
        VELD_CHECK(ret != 0);
        return ret;
    }

    bool decompressExact(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                         std::uint64_t capacity, std::uint64_t expected,
                         InflateOutcome* outcome) override {
        InflateOutcome seen;
        if (n <= UINT_MAX) {
            z_stream zs{};
            if (inflateInit_(&zs, kZlibVersionText, sizeof(z_stream)) == Z_OK) {
                const uInt room = static_cast<uInt>(std::min<std::uint64_t>(capacity, UINT_MAX));
                zs.next_in = const_cast<Bytef*>(src);
                zs.avail_in = static_cast<uInt>(n);
                zs.next_out = dest;
                zs.avail_out = room;
                // Z_STREAM_END comes only after inflate has checked the Adler-32 trailer.
                seen.streamEnded = inflate(&zs, Z_FINISH) == Z_STREAM_END;
                seen.consumed = n - zs.avail_in;
                seen.produced = room - zs.avail_out;
                inflateEnd(&zs);
            }
        }
        if (outcome) *outcome = seen;
        return seen.streamEnded && seen.consumed == n && seen.produced == expected;
    }
};

}  // namespace

std::unique_ptr<BlockCodec> makeBlockCodec() { return std::make_unique<ZlibBlockCodec>(); }

}  // namespace veld
