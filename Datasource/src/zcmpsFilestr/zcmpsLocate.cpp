// Finding a compressed part's pieces without trusting its heading: tables by
// their first record, and P by the clues a damaged file still holds.
#include <algorithm>
#include <cstring>
#include <memory>

#include "zcmpsInflateCheck.h"
#include "zcmpsInspect.h"

namespace veld::inspect {

using layout::kBlockSize;
using layout::kHeadingSize;
using layout::kMaxPayloadSize;
using layout::kRecordSize;

namespace {

constexpr std::int64_t kChunk = 1 << 20;

// The first 20 bytes of a table's first record; bytes 20 to 23 hold the count.
constexpr std::size_t kSignatureSize = 20;

void tableSignature(bool swap, unsigned char* out) {
    blockInfo first = layout::firstRecord(kBlockSize, 0);
    if (swap) layout::reverseRecord(first);
    unsigned char bytes[kRecordSize];
    layout::encodeRecord(first, bytes);
    std::memcpy(out, bytes, kSignatureSize);
}

// Calls found(offset) for every offset where `pattern` starts, in file order.
template <typename Found>
void scanFor(ByteSource& file, const unsigned char* pattern, std::size_t n, Found found) {
    const std::int64_t size = file.size();
    // Buffers no larger than the file: a small file costs what its bytes cost.
    std::vector<unsigned char> buf(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, kChunk)) + n);
    for (std::int64_t base = 0; base < size; base += kChunk) {
        const std::uint64_t want =
            static_cast<std::uint64_t>(std::min<std::int64_t>(kChunk + static_cast<std::int64_t>(n) - 1, size - base));
        const std::uint64_t got = file.readAt(buf.data(), want, base);
        if (got < n) break;
        const unsigned char* begin = buf.data();
        const unsigned char* end = buf.data() + got;
        for (const unsigned char* at = begin; (at = static_cast<const unsigned char*>(std::memchr(
                                                   at, pattern[0], static_cast<std::size_t>(end - at)))) != nullptr;
             ++at) {
            if (at - begin >= kChunk) break;  // the next chunk sees it
            if (static_cast<std::size_t>(end - at) >= n && std::memcmp(at, pattern, n) == 0) found(base + (at - begin));
        }
    }
}

// A zlib stream of 1 to the block size starts at `at` (or runs into the
// file's end, as in a file cut short).
bool streamStartsAt(ByteSource& file, std::int64_t at, std::unique_ptr<detail::Buffers>& work) {
    if (!work) work = std::make_unique<detail::Buffers>();
    std::int64_t readTo = 0;
    const detail::Inflated r = detail::probeStream(file, at, *work, &readTo);
    if (r.produced < 1 || r.produced > static_cast<std::uint64_t>(kBlockSize)) return false;
    return r.kind == detail::Inflated::Complete || (r.kind == detail::Inflated::InputEnded && readTo >= file.size());
}

std::int64_t ownValue(const unsigned char* bytes, bool swap) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(bytes[swap ? 7 - i : i]) << (8 * i);
    return static_cast<std::int64_t>(v);
}

}  // namespace

std::vector<FoundTable> findTables(ByteSource& file, bool swap) {
    const std::int64_t size = file.size();
    unsigned char signature[kSignatureSize];
    tableSignature(swap, signature);
    std::vector<std::int64_t> hits;
    scanFor(file, signature, kSignatureSize, [&hits](std::int64_t at) { hits.push_back(at); });
    // Tables are read newest first, and no more of them than twice the file
    // holds, so that a file full of signatures costs no more than that.
    std::vector<FoundTable> tables;
    std::int64_t budget = 2 * size + kChunk;
    for (auto it = hits.rbegin(); it != hits.rend(); ++it) {
        unsigned char rec[kRecordSize];
        if (file.readAt(rec, kRecordSize, *it) != kRecordSize) continue;
        const std::int64_t count = layout::decodeRecord(rec, swap).translateSize;
        if (count < 0) continue;
        const std::int64_t length = layout::tableLength(count);
        if (length > size - *it || length > budget) continue;
        budget -= length;
        std::vector<unsigned char> bytes(static_cast<std::size_t>(length - static_cast<std::int64_t>(kRecordSize)));
        if (!bytes.empty() &&
            file.readAt(bytes.data(), bytes.size(), *it + static_cast<std::int64_t>(kRecordSize)) != bytes.size())
            continue;
        FoundTable t;
        t.offset = *it;
        t.blocks.resize(static_cast<std::size_t>(count));
        for (std::int64_t k = 0; k < count; ++k)
            t.blocks[static_cast<std::size_t>(k)] = layout::decodeRecord(bytes.data() + k * kRecordSize, swap);
        tables.push_back(std::move(t));
    }
    std::reverse(tables.begin(), tables.end());
    return tables;
}

std::optional<Row0Found> locateRow0(ByteSource& file, bool swap, const std::vector<FoundTable>& tables) {
    if (const auto p = findRow0(file, swap)) return Row0Found{*p, Row0Clue::Heading};
    const std::int64_t size = file.size();
    const std::int64_t heading = static_cast<std::int64_t>(kHeadingSize);
    std::unique_ptr<detail::Buffers> work;
    // The newest table's first block names P, and its payload follows P's heading.
    for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
        if (it->blocks.empty()) continue;
        const std::int64_t p = it->blocks.front().orginalPos;
        if (p > 0 && p < it->offset && streamStartsAt(file, p + heading, work)) return Row0Found{p, Row0Clue::Table};
    }
    // A heading whose table is gone still holds its own offset. The first few
    // such offsets only: in the dictionary part they are rare.
    {
        constexpr int kTries = 64;
        int tries = 0;
        std::vector<unsigned char> buf(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, kChunk)) + 7);
        for (std::int64_t base = 0; base + heading < size && tries < kTries; base += kChunk) {
            const std::uint64_t got = file.readAt(
                buf.data(), static_cast<std::uint64_t>(std::min<std::int64_t>(kChunk + 7, size - base)), base);
            for (std::int64_t i = base == 0 ? 1 : 0;
                 i < kChunk && i + 8 <= static_cast<std::int64_t>(got) && tries < kTries; ++i) {
                if (ownValue(buf.data() + i, swap) != base + i) continue;
                ++tries;
                if (streamStartsAt(file, base + i + heading, work)) return Row0Found{base + i, Row0Clue::OwnPosition};
            }
        }
    }
    if (const auto p = findUnfinishedRow0(file)) return Row0Found{*p, Row0Clue::UnwrittenHeading};
    // Last: the first stream in the file, with a heading's room before it.
    std::vector<unsigned char> buf(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, kChunk)) + 1);
    for (std::int64_t base = heading + 1; base + 2 <= size; base += kChunk) {
        const std::uint64_t got =
            file.readAt(buf.data(), static_cast<std::uint64_t>(std::min<std::int64_t>(kChunk + 1, size - base)), base);
        for (std::int64_t i = 0; i < kChunk && i + 2 <= static_cast<std::int64_t>(got); ++i)
            if (detail::zlibHeader(buf.data() + i) && streamStartsAt(file, base + i, work))
                return Row0Found{base + i - heading, Row0Clue::FirstStream};
    }
    return std::nullopt;
}

std::string row0ClueText(Row0Clue clue) {
    switch (clue) {
        case Row0Clue::Heading:
            return "the heading that holds it";
        case Row0Clue::Table:
            return "a table whose first block starts there";
        case Row0Clue::OwnPosition:
            return "a heading that holds it, followed by a block";
        case Row0Clue::UnwrittenHeading:
            return "24 zero bytes of an unwritten heading before a block";
        case Row0Clue::FirstStream:
            return "the first block in the file, 24 bytes on";
    }
    return "";
}

}  // namespace veld::inspect
