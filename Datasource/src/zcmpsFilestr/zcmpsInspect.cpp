// Inspection of a compressed part: heading, table, payloads and the walk
// over the payloads that needs no table.
#include "zcmpsInspect.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>

#include "ThrowError.h"
#include "large_memory.h"
#include "zcmpsInflateCheck.h"

namespace veld::inspect {

using layout::kBlockSize;
using layout::kFirstRecordMark;
using layout::kHeadingSize;
using layout::kMaxPayloadSize;
using layout::kRecordSize;

ByteSource::~ByteSource() = default;

FileSource::FileSource(const std::string& path) : fPath(path), fFile(new VELD_File(false)), fSize(0) {
    ExtNameStr name;
    name.SetGeneric(path);
    errno = 0;
    if (!fFile->Open(name, "rb")) ThrowError::StringSys("datasrc.err", errcode::kCannotRead, path.c_str());
    fSize = fFile->Size();
    // -1: the system could not find the end, which is an I/O error, not an empty file.
    if (fSize < 0) ThrowError::StringSys("datasrc.err", errcode::kCannotRead, path.c_str());
}

FileSource::~FileSource() = default;

std::uint64_t FileSource::readAt(void* buffer, std::uint64_t n, std::int64_t offset) {
    if (!fFile->IsOpen() || offset < 0 || offset >= fSize || n == 0) return 0;
    n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(fSize - offset));
    return fFile->Read(buffer, n, offset);
}

void FileSource::close() {
    if (fFile->IsOpen()) fFile->Close();
}

MemorySource::MemorySource(const void* bytes, std::uint64_t size)
    : fBytes(static_cast<const unsigned char*>(bytes)), fSize(size) {}

std::uint64_t MemorySource::readAt(void* buffer, std::uint64_t n, std::int64_t offset) {
    if (offset < 0 || static_cast<std::uint64_t>(offset) >= fSize || n == 0) return 0;
    n = std::min<std::uint64_t>(n, fSize - static_cast<std::uint64_t>(offset));
    std::memcpy(buffer, fBytes + offset, n);
    return n;
}

std::string blockPlace(std::int64_t index, std::int64_t offset) {
    return "block " + std::to_string(index) + " at offset " + std::to_string(offset);
}

using detail::Buffers;
using detail::Inflated;
using detail::inflateStrict;
using detail::kInflateRoom;


namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

std::int64_t bswap64(std::int64_t v) {
    std::uint64_t u = static_cast<std::uint64_t>(v), r = 0;
    for (int i = 0; i < 8; ++i) {
        r = (r << 8) | (u & 0xFF);
        u >>= 8;
    }
    return static_cast<std::int64_t>(r);
}

// Why the heading at p cannot be a compressed part's, or "" when its table
// checks out: first record, counts and lengths within the file.
std::string headingMismatch(ByteSource& file, std::int64_t p, bool swap) {
    const std::int64_t size = file.size();
    unsigned char bytes[kHeadingSize];
    if (file.readAt(bytes, kHeadingSize, p) != kHeadingSize) return "the file ends inside its heading";
    const compressionHeading h = layout::decodeHeading(bytes, swap);
    if (h._infoPos < p + static_cast<std::int64_t>(kHeadingSize) || h._infoPos > size)
        return "the table it points to (offset " + num(h._infoPos) + ") lies outside the file";
    if (h._size < static_cast<std::int64_t>(kRecordSize) || h._size % kRecordSize != 0)
        return "its table length " + num(h._size) + " is not a positive multiple of 24";
    if (h._size > size - h._infoPos)
        return "its table (offset " + num(h._infoPos) + ", " + num(h._size) + " bytes) runs past the end of the file";
    unsigned char rec[kRecordSize];
    if (file.readAt(rec, kRecordSize, h._infoPos) != kRecordSize) return "its table cannot be read";
    const blockInfo first = layout::decodeRecord(rec, swap);
    if (first.orginalPos != kFirstRecordMark) return "its table does not start with the -100 mark";
    if (first.orginalSize <= 0 || first.translateSize < 0) return "its table's first record is damaged";
    if (layout::tableLength(first.translateSize) > h._size) return "its table is too short for the blocks it counts";
    return "";
}

// Bytes of [from, to) that none of the intervals covers.
std::int64_t uncovered(std::vector<std::pair<std::int64_t, std::int64_t>> covered, std::int64_t from, std::int64_t to) {
    if (to <= from) return 0;
    std::sort(covered.begin(), covered.end());
    std::int64_t free = 0, at = from;
    for (auto [b, e] : covered) {
        b = std::max(b, at);
        e = std::min(e, to);
        if (e <= b) continue;
        free += b - at;
        at = e;
    }
    return free + (to - at);
}

}  // namespace

Layout inspectLayout(ByteSource& file, std::int64_t row0, bool swap) {
    Layout L;
    L.fileSize = file.size();
    L.row0 = row0;
    L.swap = swap;
    L.dataEnd = row0;
    auto problem = [&L](std::int64_t block, std::int64_t offset, std::string text) {
        L.problems.push_back({block, offset, std::move(text)});
    };

    const std::int64_t size = L.fileSize;
    if (row0 <= 0 || row0 > size - static_cast<std::int64_t>(kHeadingSize)) {
        problem(-1, row0, "the file (" + num(size) + " bytes) has no room for a heading at offset " + num(row0));
        return L;
    }
    const std::int64_t payloadStart = row0 + static_cast<std::int64_t>(kHeadingSize);
    L.payloadEnd = payloadStart;
    unsigned char bytes[kHeadingSize];
    file.readAt(bytes, kHeadingSize, row0);
    L.heading = layout::decodeHeading(bytes, swap);
    const compressionHeading& h = L.heading;
    if (h._caseStartPos != row0) {
        problem(-1, row0,
                "no heading at offset " + num(row0) + ": its first field holds " + num(h._caseStartPos) + ", not " +
                    num(row0) + " (wrong --row0, wrong byte order, or the heading is damaged or was never written)");
        return L;
    }
    L.headingRead = true;

    if (h._infoPos < payloadStart || h._infoPos > size) {
        problem(-1, row0,
                "the heading at offset " + num(row0) + " puts the table at offset " + num(h._infoPos) + ", outside " +
                    num(payloadStart) + " to " + num(size) + (h._infoPos > size ? " (the file is cut short?)" : ""));
        return L;
    }
    if (h._size < static_cast<std::int64_t>(kRecordSize) || h._size % kRecordSize != 0) {
        problem(-1, row0,
                "the heading at offset " + num(row0) + " gives the table a length of " + num(h._size) +
                    " bytes, not a positive multiple of 24");
        return L;
    }
    if (h._size > size - h._infoPos) {
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " (" + num(h._size) + " bytes) runs past the end of the file (" +
                    num(size) + " bytes): the file is cut short");
        return L;
    }

    unsigned char rec[kRecordSize];
    file.readAt(rec, kRecordSize, h._infoPos);
    L.first = layout::decodeRecord(rec, swap);
    const blockInfo& first = L.first;
    if (first.orginalPos != kFirstRecordMark) {
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " does not start with its first record: mark " +
                    num(first.orginalPos) + ", not -100");
        return L;
    }
    if (first.orginalSize <= 0 || first.translateSize < 0) {
        problem(-1, h._infoPos,
                "the table's first record at offset " + num(h._infoPos) + " is damaged: block size " +
                    num(first.orginalSize) + ", block count " + num(first.translateSize));
        return L;
    }
    const std::int64_t count = first.translateSize;
    const std::int64_t needed = layout::tableLength(count);
    if (needed > h._size) {
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " is " + num(h._size) + " bytes, too short for the " +
                    num(count) + " blocks its first record counts");
        return L;
    }
    if (needed != h._size)
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " is " + num(h._size) + " bytes, but " + num(count) +
                    " blocks need " + num(needed));
    if (first.orginalSize != kBlockSize)
        problem(-1, h._infoPos,
                "the table's first record gives a block size of " + num(first.orginalSize) + ", not " + num(kBlockSize));

    // `needed` is within the file, so this allocation is bounded by its size.
    std::vector<unsigned char> table(static_cast<std::size_t>(needed - static_cast<std::int64_t>(kRecordSize)));
    if (!table.empty()) file.readAt(table.data(), table.size(), h._infoPos + static_cast<std::int64_t>(kRecordSize));
    L.blocks.resize(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k)
        L.blocks[static_cast<std::size_t>(k)] = layout::decodeRecord(table.data() + k * kRecordSize, swap);
    L.tableLoaded = true;

    // Payloads lie in block order after the heading, each at or after the end
    // of the one before; a gap between them is stale, not damage.
    std::vector<std::pair<std::int64_t, std::int64_t>> covered{{h._infoPos, h._infoPos + h._size}};
    std::int64_t expectPos = row0, previousEnd = payloadStart;
    for (std::int64_t k = 0; k < count; ++k) {
        const blockInfo& b = L.blocks[static_cast<std::size_t>(k)];
        const std::string place = blockPlace(k, b.translatePos);
        const bool sizeOk = b.orginalSize >= 1 && b.orginalSize <= kBlockSize;
        const bool payloadOk = b.translateSize >= 1 && b.translateSize <= kMaxPayloadSize;
        if (!sizeOk)
            problem(k, b.translatePos,
                    place + " records " + num(b.orginalSize) + " uncompressed bytes, outside 1 to " + num(kBlockSize));
        if (!payloadOk)
            problem(k, b.translatePos,
                    place + " records a payload of " + num(b.translateSize) + " bytes, outside 1 to " +
                        num(kMaxPayloadSize));
        if (b.orginalPos != expectPos)
            problem(k, b.translatePos,
                    place + " starts at position " + num(b.orginalPos) + ", not " + num(expectPos) +
                        (k ? " where the previous block ends" : " where the case data begins"));
        const bool inFile = b.translatePos >= 0 && b.translatePos <= size &&
                            (!payloadOk || b.translateSize <= size - b.translatePos);
        if (!inFile)
            problem(k, b.translatePos,
                    place + ": its payload of " + num(b.translateSize) + " bytes lies outside the file (" + num(size) +
                        " bytes)");
        else if (b.translatePos < previousEnd)
            problem(k, b.translatePos,
                    place + (k ? " overlaps the previous payload, which ends at offset "
                               : " lies before the payloads, which start at offset ") +
                        num(previousEnd));
        else if (payloadOk && b.translatePos < L.tableEnd() && b.translatePos + b.translateSize > h._infoPos)
            problem(k, b.translatePos, place + ": its payload overlaps the table at offset " + num(h._infoPos));
        if (sizeOk) {
            if (b.orginalSize < kBlockSize) ++L.shortBlocks;
            L.caseBytes += static_cast<std::uint64_t>(b.orginalSize);
            expectPos += b.orginalSize;
        }
        if (payloadOk) {
            L.payloadBytes += static_cast<std::uint64_t>(b.translateSize);
            if (inFile) {
                covered.emplace_back(b.translatePos, b.translatePos + b.translateSize);
                previousEnd = std::max(previousEnd, b.translatePos + b.translateSize);
                L.payloadEnd = std::max(L.payloadEnd, b.translatePos + b.translateSize);
            }
        }
    }
    L.dataEnd = expectPos;
    L.staleBytes = uncovered(std::move(covered), payloadStart, size);
    return L;
}

void checkPayloads(Layout& L, ByteSource& file, int threads, const ProgressFn& progress) {
    if (!L.tableLoaded) return;
    Buffers slots[2];
    std::uint64_t got[2] = {0, 0};
    const std::int64_t count = static_cast<std::int64_t>(L.blocks.size());
    auto advance = [&](std::int64_t k) {
        if (progress) progress(static_cast<std::uint64_t>(std::max(0, L.blocks[static_cast<std::size_t>(k)].orginalSize)));
    };
    auto readable = [&](const blockInfo& b) {
        return b.translateSize >= 1 && b.translateSize <= kMaxPayloadSize && b.translatePos >= 0 &&
               b.translatePos <= L.fileSize && b.translateSize <= L.fileSize - b.translatePos;
    };
    auto judge = [&L](std::int64_t k, const Inflated& r) {
        const blockInfo& b = L.blocks[static_cast<std::size_t>(k)];
        const std::string text = detail::payloadProblem(k, b, r);
        if (!text.empty()) L.problems.push_back({k, b.translatePos, text});
    };
    auto inflateSlot = [&slots, &got](int slot) {
        return inflateStrict(slots[slot].payload.get(), got[slot], slots[slot].out.get(), kInflateRoom);
    };

    // With a second thread, block k inflates there while block k + 1 is read here.
    std::future<Inflated> pending;
    std::int64_t pendingBlock = -1;
    int next = 0;
    auto settle = [&]() {
        if (pendingBlock < 0) return;
        judge(pendingBlock, pending.get());
        advance(pendingBlock);
        pendingBlock = -1;
    };
    for (std::int64_t k = 0; k < count; ++k) {
        const blockInfo& b = L.blocks[static_cast<std::size_t>(k)];
        if (!readable(b)) {
            advance(k);
            continue;  // already reported by the structural checks
        }
        got[next] = file.readAt(slots[next].payload.get(), static_cast<std::uint64_t>(b.translateSize), b.translatePos);
        if (threads >= 2) {
            settle();
            pending = std::async(std::launch::async, inflateSlot, next);
            pendingBlock = k;
            next ^= 1;
        } else {
            judge(k, inflateSlot(next));
            advance(k);
        }
    }
    settle();
    std::stable_sort(L.problems.begin(), L.problems.end(),
                     [](const Problem& a, const Problem& b) { return a.block < b.block; });
}

Walk walkPayloads(ByteSource& file, std::int64_t row0, std::int64_t limit) {
    Walk w;
    const std::int64_t size = file.size();
    if (limit < 0 || limit > size) limit = size;
    w.end = row0 + static_cast<std::int64_t>(kHeadingSize);
    if (row0 <= 0 || w.end > size) {
        w.end = std::max<std::int64_t>(0, std::min(w.end, size));
        w.stopped = "the file (" + num(size) + " bytes) has no room for a heading at offset " + num(row0);
        return w;
    }
    Buffers buf;
    std::int64_t pos = row0;
    while (w.end < limit) {
        const std::int64_t off = w.end;
        const std::int64_t k = static_cast<std::int64_t>(w.blocks.size());
        const std::uint64_t n = std::min<std::uint64_t>(kMaxPayloadSize, static_cast<std::uint64_t>(size - off));
        const std::uint64_t got = file.readAt(buf.payload.get(), n, off);
        const Inflated r = inflateStrict(buf.payload.get(), got, buf.out.get(), kInflateRoom);
        // A complete stream is at least a few bytes long, so every step moves on.
        if (r.kind == Inflated::Complete && r.produced >= 1 && r.produced <= static_cast<std::uint64_t>(kBlockSize) &&
            r.consumed >= 1 && static_cast<std::int64_t>(r.consumed) <= limit - off) {
            w.blocks.push_back(blockInfo{pos, off, static_cast<std::int32_t>(r.produced),
                                         static_cast<std::int32_t>(r.consumed)});
            pos += static_cast<std::int64_t>(r.produced);
            w.caseBytes += r.produced;
            w.end = off + static_cast<std::int64_t>(r.consumed);
            continue;
        }
        const std::string place = blockPlace(k, off);
        if (r.kind == Inflated::InputEnded && off + static_cast<std::int64_t>(got) >= size)
            w.stopped = place + ": the file ends inside its payload (the file is " + num(size) + " bytes; " +
                        num(static_cast<std::int64_t>(r.produced)) + " bytes inflated)";
        else if (r.kind == Inflated::Damaged && r.produced > 0)
            w.stopped = place + " is damaged: it does not inflate (zlib: " + r.message + ") after " +
                        num(static_cast<std::int64_t>(r.produced)) + " bytes";
        else
            w.stopped = place + ": no block of 1 to " + num(kBlockSize) + " bytes starts there";
        break;
    }
    return w;
}

std::optional<std::int64_t> findRow0(ByteSource& file, bool swap, std::string* nearMiss, std::int64_t* nearMissAt) {
    if (nearMissAt) *nearMissAt = -1;
    const std::int64_t size = file.size();
    // A heading and the table's first record at least must follow P.
    const std::int64_t last = size - static_cast<std::int64_t>(kHeadingSize + kRecordSize);
    constexpr std::int64_t kChunk = 1 << 20;
    // No larger than the file: a small file costs what its bytes cost.
    std::vector<unsigned char> buf(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, kChunk)) + 7);
    bool missed = false;
    for (std::int64_t base = 0; base <= last; base += kChunk) {
        const std::uint64_t want = static_cast<std::uint64_t>(std::min<std::int64_t>(kChunk + 7, size - base));
        const std::uint64_t got = file.readAt(buf.data(), want, base);
        for (std::int64_t i = base == 0 ? 1 : 0;
             i < kChunk && base + i <= last && i + 8 <= static_cast<std::int64_t>(got); ++i) {
            std::int64_t v;
            std::memcpy(&v, buf.data() + i, 8);
            if (swap) v = bswap64(v);
            if (v != base + i) continue;
            const std::string why = headingMismatch(file, base + i, swap);
            if (why.empty()) return base + i;
            if (!missed) {
                if (nearMiss) *nearMiss = "offset " + num(base + i) + " holds its own position, but " + why;
                if (nearMissAt) *nearMissAt = base + i;
            }
            missed = true;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> findUnfinishedRow0(ByteSource& file) {
    const std::int64_t size = file.size();
    constexpr std::int64_t kChunk = 1 << 20;
    std::vector<unsigned char> buf(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, kChunk)));
    std::unique_ptr<Buffers> work;
    std::int64_t zeros = 0;
    for (std::int64_t base = 0; base < size; base += kChunk) {
        const std::uint64_t got = file.readAt(buf.data(), static_cast<std::uint64_t>(std::min(kChunk, size - base)), base);
        if (got == 0) break;
        for (std::uint64_t i = 0; i < got; ++i) {
            const std::int64_t at = base + static_cast<std::int64_t>(i);
            if (buf[i] == 0) {
                ++zeros;
                continue;
            }
            const std::int64_t p = at - static_cast<std::int64_t>(kHeadingSize);
            const bool candidate = zeros >= static_cast<std::int64_t>(kHeadingSize) && p > 0;
            zeros = 0;
            if (!candidate) continue;
            // A zlib header first: deflate, and its check bits hold.
            unsigned char head[2];
            if (file.readAt(head, 2, at) != 2 || (head[0] & 0x0F) != 8 || ((head[0] << 8) | head[1]) % 31 != 0)
                continue;
            if (!work) work = std::make_unique<Buffers>();
            const std::uint64_t n = std::min<std::uint64_t>(kMaxPayloadSize, static_cast<std::uint64_t>(size - at));
            const std::uint64_t in = file.readAt(work->payload.get(), n, at);
            const Inflated r = inflateStrict(work->payload.get(), in, work->out.get(), kInflateRoom);
            // A stream cut by the end of the file still marks the pack that was killed there.
            const bool cut = r.kind == Inflated::InputEnded && at + static_cast<std::int64_t>(in) >= size;
            if ((r.kind == Inflated::Complete || cut) && r.produced >= 1 &&
                r.produced <= static_cast<std::uint64_t>(kBlockSize))
                return p;
        }
    }
    return std::nullopt;
}

}  // namespace veld::inspect
