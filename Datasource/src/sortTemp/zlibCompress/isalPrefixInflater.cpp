// ISA-L's stateful inflate behind the early-stop entry: it stops when the
// output room is used and goes on from there.
#include "prefixInflater.h"

#ifdef VELD_HAVE_ISAL
#include <isa-l/igzip_lib.h>

#include <cstdint>

#include "cpu_state.h"

namespace veld {

namespace {

class IsalPrefixInflater final : public PrefixInflater {
public:
    IsalPrefixInflater() : fState(new inflate_state()) {}

    void begin(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity) override {
        inflate_state& st = *fState;
        isal_inflate_init(&st);
        st.crc_flag = ISAL_ZLIB;  // parses the wrapper and verifies the Adler-32
        st.next_in = const_cast<unsigned char*>(src);
        st.avail_in = static_cast<uint32_t>(n);
        fDest = dest;
        fCapacity = capacity > UINT32_MAX ? UINT32_MAX : capacity;
        fProduced = 0;
        fFailed = n > UINT32_MAX;
        fEnded = false;
    }

    bool advance(std::uint64_t target) override {
        if (target > fCapacity) return false;
        if (target <= fProduced) return !fFailed;
        run(target);
        return !fFailed && fProduced == target;
    }

    bool finish(std::uint64_t expected) override {
        if (!fFailed && !fEnded) run(fCapacity);
        // Input ISA-L took in but did not use waits in its bit buffer.
        return !fFailed && fEnded && fState->avail_in == 0 && fState->read_in_length < 8 && fProduced == expected;
    }

    std::uint64_t produced() const override { return fProduced; }

private:
    void run(std::uint64_t limit) {
        if (fFailed || fEnded) return;
        inflate_state& st = *fState;
        st.next_out = fDest + fProduced;
        st.avail_out = static_cast<uint32_t>(limit - fProduced);
        const int r = isal_inflate(&st);
        veld::platform::clearVectorState();
        fProduced = limit - st.avail_out;
        if (r != ISAL_DECOMP_OK)
            fFailed = true;
        else if (st.block_state == ISAL_BLOCK_FINISH)
            fEnded = true;
        // Stopped with room left and not at the end: the payload is cut.
        else if (st.avail_out != 0)
            fFailed = true;
    }

    std::unique_ptr<inflate_state> fState;
    unsigned char* fDest = nullptr;
    std::uint64_t fCapacity = 0;
    std::uint64_t fProduced = 0;
    bool fFailed = true, fEnded = false;
};

}  // namespace

std::unique_ptr<PrefixInflater> makeIsalPrefixInflater() { return std::make_unique<IsalPrefixInflater>(); }

}  // namespace veld

#else

namespace veld {
std::unique_ptr<PrefixInflater> makeIsalPrefixInflater() { return nullptr; }
}  // namespace veld

#endif
