// The strict block codec: zlib, and the fast engines behind the same calls.
#include <zlib.h>

#include <algorithm>
#include <climits>

#include "BlockCodec.h"
#include "check.h"

namespace veld {

namespace {

constexpr const char* kZlibVersionText = "1.2.3";  // zlib compares the first character only

std::uint64_t zlibBound(std::uint64_t n) { return ::compressBound(static_cast<uLong>(n)); }

std::uint64_t zlibCompress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity, int level) {
    if (n > UINT_MAX) return 0;
    z_stream zs{};
    std::uint64_t ret = 0;
    if (deflateInit_(&zs, level, kZlibVersionText, sizeof(z_stream)) == Z_OK) {
        const uInt room = static_cast<uInt>(std::min<std::uint64_t>(capacity, UINT_MAX));
        zs.next_in = const_cast<Bytef*>(src);
        zs.avail_in = static_cast<uInt>(n);
        zs.next_out = dest;
        zs.avail_out = room;
        // Only a finished stream is a payload; a full destination would cut it.
        if (deflate(&zs, Z_FINISH) == Z_STREAM_END) ret = room - zs.avail_out;
        deflateEnd(&zs);
    }
    return ret;
}

InflateOutcome zlibInflate(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity) {
    InflateOutcome seen;
    if (n > UINT_MAX) return seen;
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
    return seen;
}

class EngineBlockCodec final : public BlockCodec {
public:
    // A null engine stands for zlib, which compresses at zlibLevel.
    EngineBlockCodec(std::unique_ptr<BlockEngineOps> compressor, std::unique_ptr<BlockEngineOps> inflater,
                     int zlibLevel)
        : fCompressor(std::move(compressor)), fInflater(std::move(inflater)), fZlibLevel(zlibLevel) {}

    std::uint64_t compressBound(std::uint64_t n) const override {
        return fCompressor ? std::max(zlibBound(n), fCompressor->bound(n)) : zlibBound(n);
    }

    std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity) override {
        VELD_CHECK(n <= UINT_MAX);
        const std::uint64_t ret =
            fCompressor ? fCompressor->compress(src, n, dest, capacity) : zlibCompress(src, n, dest, capacity, fZlibLevel);
        VELD_CHECK(ret != 0);
        return ret;
    }

    bool decompressExact(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                         std::uint64_t capacity, std::uint64_t expected,
                         InflateOutcome* outcome) override {
        if (fInflater && expected <= capacity && fInflater->inflateExact(src, n, dest, capacity, expected)) {
            if (outcome) *outcome = InflateOutcome{true, n, expected};
            return true;
        }
        // zlib decides every payload the fast engine did not take, so every
        // engine refuses the same payloads and describes them alike.
        const InflateOutcome seen = zlibInflate(src, n, dest, capacity);
        if (outcome) *outcome = seen;
        return seen.streamEnded && seen.consumed == n && seen.produced == expected;
    }

private:
    std::unique_ptr<BlockEngineOps> fCompressor;
    std::unique_ptr<BlockEngineOps> fInflater;
    int fZlibLevel;
};

std::unique_ptr<BlockEngineOps> opsFor(BlockEngine engine, int level) {
    switch (engine) {
        case BlockEngine::Libdeflate: return makeLibdeflateOps(level);
        case BlockEngine::Isal: return makeIsalOps();
        default: return nullptr;
    }
}

BlockEngine resolve(BlockEngine engine, bool forCompression, int level = 1) {
    if (engine != BlockEngine::Automatic) return engine;
    // Measured on level-1 blocks of case data: ISA-L compresses fastest,
    // libdeflate inflates fastest. Above ISA-L's levels, libdeflate compresses
    // faster than zlib at every level.
    const bool isalHasIt = level <= kIsalMaxLevel;
    const BlockEngine order[] = {forCompression && isalHasIt ? BlockEngine::Isal : BlockEngine::Libdeflate,
                                 forCompression && isalHasIt ? BlockEngine::Libdeflate : BlockEngine::Isal};
    for (BlockEngine e : order)
        if (blockEngineAvailable(e) && level <= maxBlockLevel(e)) return e;
    return BlockEngine::Zlib;
}

}  // namespace

std::unique_ptr<BlockCodec> makeBlockCodec(BlockEngine compressWith, BlockEngine inflateWith, int level) {
    const BlockEngine engine = resolve(compressWith, true, level);
    const int own = std::clamp(level, 1, maxBlockLevel(engine));
    return std::make_unique<EngineBlockCodec>(opsFor(engine, own), opsFor(resolve(inflateWith, false), 1), own);
}

std::unique_ptr<BlockCodec> makeBlockCodec() {
    return makeBlockCodec(blockEngine(), blockEngine(), blockLevel());
}

BlockEngine compressEngine() { return resolve(blockEngine(), true, blockLevel()); }
BlockEngine decompressEngine() { return resolve(blockEngine(), false); }

}  // namespace veld
