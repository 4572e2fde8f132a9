// libdeflate behind the block codec: zlib streams at levels 1 to 12, strict inflate.
#include "BlockCodec.h"

#ifdef VELD_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <climits>
#include <new>

namespace veld {

namespace {

class LibdeflateOps final : public BlockEngineOps {
public:
    explicit LibdeflateOps(int level)
        : fCompressor(libdeflate_alloc_compressor(level)), fInflater(libdeflate_alloc_decompressor()) {
        if (!fCompressor || !fInflater) {
            release();
            throw std::bad_alloc();
        }
    }
    ~LibdeflateOps() override { release(); }
    LibdeflateOps(const LibdeflateOps&) = delete;
    LibdeflateOps& operator=(const LibdeflateOps&) = delete;

    std::uint64_t bound(std::uint64_t n) const override {
        return libdeflate_zlib_compress_bound(fCompressor, static_cast<size_t>(n));
    }
    std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity) override {
        return libdeflate_zlib_compress(fCompressor, src, static_cast<size_t>(n), dest, static_cast<size_t>(capacity));
    }
    bool inflateExact(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity,
                      std::uint64_t expected) override {
        size_t used = 0, produced = 0;
        // The zlib wrapper's Adler-32 is verified before SUCCESS.
        const libdeflate_result r = libdeflate_zlib_decompress_ex(fInflater, src, static_cast<size_t>(n), dest,
                                                                  static_cast<size_t>(capacity), &used, &produced);
        return r == LIBDEFLATE_SUCCESS && used == n && produced == expected;
    }

private:
    void release() {
        if (fCompressor) libdeflate_free_compressor(fCompressor);
        if (fInflater) libdeflate_free_decompressor(fInflater);
        fCompressor = nullptr;
        fInflater = nullptr;
    }
    libdeflate_compressor* fCompressor;
    libdeflate_decompressor* fInflater;
};

}  // namespace

std::unique_ptr<BlockEngineOps> makeLibdeflateOps(int level) { return std::make_unique<LibdeflateOps>(level); }

}  // namespace veld

#else

namespace veld {
std::unique_ptr<BlockEngineOps> makeLibdeflateOps(int) { return nullptr; }
}  // namespace veld

#endif
