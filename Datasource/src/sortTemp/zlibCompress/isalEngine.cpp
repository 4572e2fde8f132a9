// ISA-L's igzip behind the block codec: zlib streams, strict inflate. Its
// level 2 with the largest suggested level buffer runs as fast as its level 1
// on case data and, unlike level 1, never came out larger than zlib's level 1
// on the same blocks; no payload may be larger than the format's own level
// gives. Its level 3 came out larger than its level 2 on text, so ISA-L
// serves level 1 only.
#include "BlockCodec.h"

#ifdef VELD_HAVE_ISAL
#include <isa-l/igzip_lib.h>

#include "cpu_state.h"

#include <climits>
#include <cstring>
#include <memory>

namespace veld {

namespace {


constexpr int kLevel = 2;
constexpr std::uint32_t kLevelBufSize = ISAL_DEF_LVL2_EXTRA_LARGE;

// Each direction's state is made when it is first used: a reader never
// compresses, and a stream that is made and dropped again costs no more than it used.
class IsalOps final : public BlockEngineOps {
public:
    IsalOps() = default;

    std::uint64_t bound(std::uint64_t n) const override {
        // Stored blocks at worst: 5 bytes per 64 KiB, plus wrapper and slack.
        return n + (n >> 12) + 1024;
    }
    std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                           std::uint64_t capacity) override {
        if (n > UINT32_MAX) return 0;
        if (!fStream) {
            fLevelBuf.reset(new unsigned char[kLevelBufSize]);
            fStream.reset(new isal_zstream());
        }
        isal_zstream& s = *fStream;
        isal_deflate_stateless_init(&s);
        // The init leaves the window size alone; anything but 0 (the whole
        // 32 KiB) finds fewer matches, and the payload would depend on it.
        s.hist_bits = 0;
        s.level = kLevel;
        s.level_buf = fLevelBuf.get();
        s.level_buf_size = kLevelBufSize;
        s.gzip_flag = IGZIP_ZLIB;
        s.end_of_stream = 1;
        s.flush = NO_FLUSH;
        s.next_in = const_cast<unsigned char*>(src);
        s.avail_in = static_cast<uint32_t>(n);
        s.next_out = dest;
        s.avail_out = static_cast<uint32_t>(capacity > UINT32_MAX ? UINT32_MAX : capacity);
        const int r = isal_deflate_stateless(&s);
        // igzip returns with the vector registers' upper halves in use.
        veld::platform::clearVectorState();
        if (r != COMP_OK) return 0;
        return s.total_out;
    }
    bool inflateExact(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity,
                      std::uint64_t expected) override {
        if (n > UINT32_MAX) return false;
        if (!fInflate) fInflate.reset(new inflate_state());
        inflate_state& st = *fInflate;
        isal_inflate_init(&st);
        st.crc_flag = ISAL_ZLIB;  // parses the wrapper and verifies the Adler-32
        st.next_in = const_cast<unsigned char*>(src);
        st.avail_in = static_cast<uint32_t>(n);
        st.next_out = dest;
        st.avail_out = static_cast<uint32_t>(capacity > UINT32_MAX ? UINT32_MAX : capacity);
        const int r = isal_inflate_stateless(&st);
        veld::platform::clearVectorState();
        return r == ISAL_DECOMP_OK && st.block_state == ISAL_BLOCK_FINISH && st.avail_in == 0 &&
               st.total_out == expected;
    }

private:
    std::unique_ptr<isal_zstream> fStream;
    std::unique_ptr<unsigned char[]> fLevelBuf;
    std::unique_ptr<inflate_state> fInflate;
};

}  // namespace

std::unique_ptr<BlockEngineOps> makeIsalOps() { return std::make_unique<IsalOps>(); }

}  // namespace veld

#else

namespace veld {
std::unique_ptr<BlockEngineOps> makeIsalOps() { return nullptr; }
}  // namespace veld

#endif
