// libdeflate behind the block codec: zlib streams at levels 1 to 12, strict inflate.
#include "BlockCodec.h"

#ifdef VELD_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <climits>
#include <new>

namespace veld {

namespace {

// Each direction's state is made when it is first used: a reader never
// compresses, and a stream that is made and dropped again costs no more than it used.
class LibdeflateOps final : public BlockEngineOps {
public:
    explicit LibdeflateOps(int level) : fLevel(level) {}
    ~LibdeflateOps() override {
        if (fCompressor) libdeflate_free_compressor(fCompressor);
        if (fInflater) libdeflate_free_decompressor(fInflater);
    }
    LibdeflateOps(const LibdeflateOps&) = delete;
    LibdeflateOps& operator=(const LibdeflateOps&) = delete;

    std::uint64_t bound(std::uint64_t n) const override {
        return libdeflate_zlib_compress_bound(compressor(), static_cast<size_t>(n));
    }
    std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity) override {
        return libdeflate_zlib_compress(compressor(), src, static_cast<size_t>(n), dest, static_cast<size_t>(capacity));
    }
    bool inflateExact(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity,
                      std::uint64_t expected) override {
        if (!fInflater && !(fInflater = libdeflate_alloc_decompressor())) throw std::bad_alloc();
        size_t used = 0, produced = 0;
        // The zlib wrapper's Adler-32 is verified before SUCCESS.
        const libdeflate_result r = libdeflate_zlib_decompress_ex(fInflater, src, static_cast<size_t>(n), dest,
                                                                  static_cast<size_t>(capacity), &used, &produced);
        return r == LIBDEFLATE_SUCCESS && used == n && produced == expected;
    }

private:
    libdeflate_compressor* compressor() const {
        if (!fCompressor && !(fCompressor = libdeflate_alloc_compressor(fLevel))) throw std::bad_alloc();
        return fCompressor;
    }
    int fLevel;
    mutable libdeflate_compressor* fCompressor = nullptr;
    libdeflate_decompressor* fInflater = nullptr;
};

}  // namespace

std::unique_ptr<BlockEngineOps> makeLibdeflateOps(int level) { return std::make_unique<LibdeflateOps>(level); }

}  // namespace veld

#else

namespace veld {
std::unique_ptr<BlockEngineOps> makeLibdeflateOps(int) { return nullptr; }
}  // namespace veld

#endif
