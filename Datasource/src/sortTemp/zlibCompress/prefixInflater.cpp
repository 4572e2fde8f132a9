// zlib's inflate behind the early-stop entry, and the choice of engine.
#include "prefixInflater.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace veld {

namespace {

constexpr const char* kZlibVersionText = "1.2.3";  // zlib compares the first character only

class ZlibPrefixInflater final : public PrefixInflater {
public:
    ~ZlibPrefixInflater() override { end(); }

    void begin(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity) override {
        end();
        fStream = z_stream{};
        fDest = dest;
        fCapacity = std::min<std::uint64_t>(capacity, UINT_MAX);
        fProduced = 0;
        fFailed = n > UINT_MAX || inflateInit_(&fStream, kZlibVersionText, sizeof(z_stream)) != Z_OK;
        fLive = !fFailed;
        fEnded = false;
        if (fFailed) return;
        fStream.next_in = const_cast<Bytef*>(src);
        fStream.avail_in = static_cast<uInt>(n);
    }

    bool advance(std::uint64_t target) override {
        if (target > fCapacity) return false;
        if (target <= fProduced) return !fFailed;
        run(target);
        return !fFailed && fProduced == target;
    }

    bool finish(std::uint64_t expected) override {
        if (!fFailed && !fEnded) run(fCapacity);
        return !fFailed && fEnded && fStream.avail_in == 0 && fProduced == expected;
    }

    std::uint64_t produced() const override { return fProduced; }

private:
    // Inflates until `limit` bytes are out, the stream ends or it fails.
    void run(std::uint64_t limit) {
        if (fFailed || fEnded) return;
        fStream.next_out = fDest + fProduced;
        fStream.avail_out = static_cast<uInt>(limit - fProduced);
        const int r = inflate(&fStream, Z_SYNC_FLUSH);
        fProduced = limit - fStream.avail_out;
        // Z_STREAM_END comes only after inflate has checked the Adler-32 trailer.
        if (r == Z_STREAM_END)
            fEnded = true;
        else if (r != Z_OK && !(r == Z_BUF_ERROR && fStream.avail_out == 0))
            fFailed = true;
        // A stream that stops short of its end with room left is cut.
        if (!fEnded && fStream.avail_out != 0) fFailed = true;
        if (fFailed || fEnded) end();
    }
    void end() {
        if (fLive) inflateEnd(&fStream);
        fLive = false;
    }

    z_stream fStream{};
    unsigned char* fDest = nullptr;
    std::uint64_t fCapacity = 0;
    std::uint64_t fProduced = 0;
    bool fLive = false, fFailed = true, fEnded = false;
};

}  // namespace

BlockEngine prefixEngine() {
    const BlockEngine chosen = decompressEngine();
    if (chosen == BlockEngine::Zlib) return BlockEngine::Zlib;
    return blockEngineAvailable(BlockEngine::Isal) ? BlockEngine::Isal : BlockEngine::Zlib;
}

std::unique_ptr<PrefixInflater> makePrefixInflater(BlockEngine engine) {
    if (engine == BlockEngine::Isal)
        if (auto isal = makeIsalPrefixInflater()) return isal;
    return std::make_unique<ZlibPrefixInflater>();
}

}  // namespace veld
