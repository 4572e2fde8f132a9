// Strict inflation of one payload, the words for what is wrong with it, and
// the probe for a stream at an offset nothing vouches for.
#include "zcmpsInflateCheck.h"

#include <zlib.h>

#include <algorithm>

#include "zcmpsInspect.h"

namespace veld::inspect::detail {

using layout::kBlockSize;
using layout::kMaxPayloadSize;

Inflated inflateStrict(const unsigned char* in, std::uint64_t n, unsigned char* out, std::uint64_t capacity) {
    Inflated r{Inflated::Damaged, 0, 0, {}};
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        r.message = "zlib cannot start";
        return r;
    }
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(capacity);
    const int ret = inflate(&zs, Z_FINISH);
    r.produced = zs.total_out;
    r.consumed = zs.total_in;
    if (ret == Z_STREAM_END) {
        r.kind = Inflated::Complete;
    } else if (ret == Z_OK || ret == Z_BUF_ERROR) {
        r.kind = zs.avail_out == 0 ? Inflated::OutputFull : Inflated::InputEnded;
    } else {
        r.message = zs.msg ? zs.msg : "error " + std::to_string(ret);
    }
    inflateEnd(&zs);
    return r;
}

std::string payloadProblem(std::int64_t k, const blockInfo& b, const Inflated& r) {
    const std::string place = blockPlace(k, b.translatePos);
    const std::uint64_t want = static_cast<std::uint64_t>(std::max(0, b.orginalSize));
    // What a user needs first: which block, and that it is damaged; how after that.
    const std::string damaged = place + " is damaged: ";
    std::string text;
    switch (r.kind) {
        case Inflated::Complete:
            if (r.produced != want)
                text = damaged + "it inflates to " + std::to_string(r.produced) + " bytes, not " +
                       std::to_string(b.orginalSize);
            else if (r.consumed != static_cast<std::uint64_t>(b.translateSize))
                text = damaged + "its zlib stream ends after " + std::to_string(r.consumed) + " of its " +
                       std::to_string(b.translateSize) + " payload bytes";
            break;
        case Inflated::InputEnded:
            text = damaged + "its zlib stream is cut short after " + std::to_string(b.translateSize) +
                   " payload bytes (" + std::to_string(r.produced) + " of " + std::to_string(b.orginalSize) +
                   " bytes inflated)";
            break;
        case Inflated::OutputFull:
            text = damaged + "it inflates to more than " + std::to_string(kBlockSize) + " bytes, not " +
                   std::to_string(b.orginalSize);
            break;
        case Inflated::Damaged:
            text = r.message == "incorrect data check" ? damaged + "its checksum fails"
                                                       : damaged + "it does not inflate (zlib: " + r.message +
                                                             ") after " + std::to_string(r.produced) + " bytes";
            break;
    }
    return text;
}

Inflated probeStream(ByteSource& file, std::int64_t at, Buffers& work, std::int64_t* readTo) {
    const std::int64_t size = file.size();
    Inflated r{Inflated::Damaged, 0, 0, "no zlib header"};
    if (readTo) *readTo = at;
    if (at < 0 || at + 2 > size) return r;
    unsigned char head[2];
    if (file.readAt(head, 2, at) != 2 || !zlibHeader(head)) return r;
    const std::uint64_t whole = std::min<std::uint64_t>(kMaxPayloadSize, static_cast<std::uint64_t>(size - at));
    // A small read first, so that most false starts cost little.
    for (const std::uint64_t n : {std::min<std::uint64_t>(whole, 4096), whole}) {
        const std::uint64_t in = file.readAt(work.payload.get(), n, at);
        r = inflateStrict(work.payload.get(), in, work.out.get(), kInflateRoom);
        if (readTo) *readTo = at + static_cast<std::int64_t>(in);
        if (r.kind != Inflated::InputEnded || in < n || n == whole) break;
    }
    return r;
}

}  // namespace veld::inspect::detail
