// The heading and table decoders and the block position index on arbitrary
// bytes: decode, load for reading (then look positions up) and load for
// appending. Input: flags (bit 0: swapped byte order), then table bytes.
// A lookup must answer a block that holds the position, a damaged record
// (a size no block can have) at or before it, whose read then fails its
// check, or not-found.
#include <cstdint>
#include <cstring>
#include <vector>

#include "compressedLayout.h"
#include "filePosInfo.h"
#include "fuzz_support.h"

namespace {

using namespace veld::layout;

bool holds(const blockInfo& r, std::int64_t pos) {
    return r.orginalPos <= pos && static_cast<std::uint64_t>(pos) - static_cast<std::uint64_t>(r.orginalPos) <
                                      static_cast<std::uint64_t>(static_cast<std::int64_t>(r.orginalSize));
}

void lookUp(filePosInfo& index, std::int64_t pos) {
    const blockInfo r = index.findBlock(pos);
    if (r.orginalPos == kNotFound) return;
    const bool damaged = r.orginalSize < 1 || r.orginalSize > kBlockSize;
    if (!holds(r, pos) && !(damaged && r.orginalPos <= pos))
        veldfuzz::finding("findBlock answered a block that does not hold the position");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool swap = (data[0] & 1) != 0;
    const std::uint8_t* bytes = data + 1;
    const std::size_t n = size - 1;

    if (n >= kHeadingSize) {
        compressionHeading h = decodeHeading(bytes, swap);
        unsigned char again[kHeadingSize];
        reverseHeading(h);
        reverseHeading(h);
        encodeHeading(h, again);
        if (decodeHeading(again, false)._infoPos != h._infoPos) veldfuzz::finding("heading does not round-trip");
    }

    veldfuzz::refusalsAreFine([&] {
        filePosInfo index(static_cast<std::uint64_t>(kBlockSize));
        index.loadForRead(bytes, swap, n);
        // Every record's edges, and positions between them, in order and back.
        std::vector<std::int64_t> probes = {0, -1, kBlockSize};
        for (std::size_t at = kRecordSize; at + kRecordSize <= n && probes.size() < 400; at += kRecordSize) {
            const blockInfo r = decodeRecord(bytes + at, swap);
            probes.push_back(r.orginalPos);
            if (r.orginalPos > INT64_MIN) probes.push_back(r.orginalPos - 1);
            if (r.orginalSize > 0 && r.orginalPos <= INT64_MAX - r.orginalSize) {
                probes.push_back(r.orginalPos + r.orginalSize - 1);
                probes.push_back(r.orginalPos + r.orginalSize);
            }
        }
        for (std::int64_t p : probes) lookUp(index, p);
        for (auto it = probes.rbegin(); it != probes.rend(); ++it) lookUp(index, *it);
        for (std::int64_t p : probes) index.indexOf(p);
    });

    veldfuzz::refusalsAreFine([&] {
        std::vector<unsigned char> table(bytes, bytes + n);
        filePosInfo index(static_cast<std::uint64_t>(kBlockSize));
        index.loadForAppend(table.data(), swap, table.size());
        std::uint64_t length = 0;
        const blockInfo* out = index.makeInfoBuffer(length);
        if (length != static_cast<std::uint64_t>(tableLength(static_cast<std::int64_t>(index.WrittenBlocks().size()))) ||
            out[0].orginalPos != kFirstRecordMark)
            veldfuzz::finding("the rebuilt table is inconsistent");
    });
    return 0;
}
