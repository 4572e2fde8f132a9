#include "layout_inspector.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>

#include "cli_support.h"
#include "progress.h"

namespace veldcli {

using veld::layout::kBlockSize;
using veld::layout::kFirstRecordMark;
using veld::layout::kHeadingSize;
using veld::layout::kMaxPayloadSize;
using veld::layout::kRecordSize;

RawReader::RawReader(const std::string& path) : fPath(path), fFile(new VELD_File(false)) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw CliError(kExitDamaged, path, "is a directory, not a data file");
    ExtNameStr name;
    name.SetGeneric(path);
    errno = 0;
    if (!fFile->Open(name, "rb")) {
        const int err = errno;
        throw CliError(kExitDamaged, path,
                       std::string("cannot open: ") + (err ? std::strerror(err) : "refused"));
    }
    fSize = fFile->Size();
}

std::uint64_t RawReader::readAt(void* buffer, std::uint64_t n, std::int64_t offset) {
    if (offset < 0 || offset >= fSize || n == 0) return 0;
    n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(fSize - offset));
    return fFile->Read(buffer, n, offset);
}

std::string blockPlace(std::int64_t index, std::int64_t offset) {
    return "block " + std::to_string(index) + " at offset " + std::to_string(offset);
}

namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

// Outcome of inflating one payload with nothing taken on trust.
struct Inflated {
    enum Kind { Complete, InputEnded, OutputFull, Damaged } kind;
    std::uint64_t produced = 0;
    std::uint64_t consumed = 0;
    std::string message;  // zlib's own words for Damaged
};

// One inflate call over the whole payload, as the stream's codec makes it, but
// telling apart a stream that ends cleanly from one that is cut, damaged or too big.
Inflated inflateStrict(const unsigned char* in, std::uint64_t n, unsigned char* out,
                       std::uint64_t capacity) {
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
        r.kind = Inflated::Damaged;
        r.message = zs.msg ? zs.msg : "error " + std::to_string(ret);
    }
    inflateEnd(&zs);
    return r;
}

// Room to inflate into: one byte more than a block, so that "too big" shows.
constexpr std::uint64_t kInflateRoom = static_cast<std::uint64_t>(kBlockSize) + 1;

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
std::string headingMismatch(RawReader& file, std::int64_t p, bool swap) {
    const std::int64_t size = file.size();
    unsigned char bytes[kHeadingSize];
    if (file.readAt(bytes, kHeadingSize, p) != kHeadingSize) return "the file ends inside its heading";
    const compressionHeading h = veld::layout::decodeHeading(bytes, swap);
    if (h._infoPos < p + static_cast<std::int64_t>(kHeadingSize) || h._infoPos > size)
        return "the table it points to (offset " + num(h._infoPos) + ") lies outside the file";
    if (h._size < static_cast<std::int64_t>(kRecordSize) || h._size % kRecordSize != 0)
        return "its table length " + num(h._size) + " is not a positive multiple of 24";
    if (h._size > size - h._infoPos)
        return "its table (offset " + num(h._infoPos) + ", " + num(h._size) +
               " bytes) runs past the end of the file";
    unsigned char rec[kRecordSize];
    if (file.readAt(rec, kRecordSize, h._infoPos) != kRecordSize) return "its table cannot be read";
    const blockInfo first = veld::layout::decodeRecord(rec, swap);
    if (first.orginalPos != kFirstRecordMark) return "its table does not start with the -100 mark";
    if (first.orginalSize <= 0 || first.translateSize < 0)
        return "its table's first record is damaged";
    if (veld::layout::tableLength(first.translateSize) > h._size)
        return "its table is too short for the blocks it counts";
    return "";
}

}  // namespace

Layout inspectLayout(RawReader& file, std::int64_t row0, bool swap) {
    Layout L;
    L.path = file.path();
    L.fileSize = file.size();
    L.row0 = row0;
    L.swap = swap;
    L.dataEnd = row0;
    L.payloadEnd = row0 + static_cast<std::int64_t>(kHeadingSize);
    auto problem = [&L](std::int64_t block, std::int64_t offset, std::string text) {
        L.problems.push_back({block, offset, std::move(text)});
    };

    const std::int64_t size = L.fileSize;
    if (row0 <= 0 || row0 > size - static_cast<std::int64_t>(kHeadingSize)) {
        problem(-1, row0,
                "the file (" + num(size) + " bytes) has no room for a heading at offset " + num(row0));
        return L;
    }
    unsigned char bytes[kHeadingSize];
    file.readAt(bytes, kHeadingSize, row0);
    L.heading = veld::layout::decodeHeading(bytes, swap);
    const compressionHeading& h = L.heading;
    if (h._caseStartPos != row0) {
        problem(-1, row0,
                "no heading at offset " + num(row0) + ": its first field holds " +
                    num(h._caseStartPos) + ", not " + num(row0) +
                    " (wrong --row0, wrong byte order, or the heading is damaged)");
        return L;
    }
    L.headingRead = true;

    const std::int64_t payloadStart = row0 + static_cast<std::int64_t>(kHeadingSize);
    if (h._infoPos < payloadStart || h._infoPos > size) {
        problem(-1, row0,
                "the heading at offset " + num(row0) + " puts the table at offset " + num(h._infoPos) +
                    ", outside " + num(payloadStart) + " to " + num(size) +
                    (h._infoPos > size ? " (the file is cut short?)" : ""));
        return L;
    }
    if (h._size < static_cast<std::int64_t>(kRecordSize) || h._size % kRecordSize != 0) {
        problem(-1, row0,
                "the heading at offset " + num(row0) + " gives the table a length of " +
                    num(h._size) + " bytes, not a positive multiple of 24");
        return L;
    }
    if (h._size > size - h._infoPos) {
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " (" + num(h._size) +
                    " bytes) runs past the end of the file (" + num(size) +
                    " bytes): the file is cut short");
        return L;
    }

    unsigned char rec[kRecordSize];
    file.readAt(rec, kRecordSize, h._infoPos);
    L.first = veld::layout::decodeRecord(rec, swap);
    const blockInfo& first = L.first;
    if (first.orginalPos != kFirstRecordMark) {
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " does not start with its first record: "
                "mark " + num(first.orginalPos) + ", not -100");
        return L;
    }
    if (first.orginalSize <= 0 || first.translateSize < 0) {
        problem(-1, h._infoPos,
                "the table's first record at offset " + num(h._infoPos) + " is damaged: block size " +
                    num(first.orginalSize) + ", block count " + num(first.translateSize));
        return L;
    }
    const std::int64_t count = first.translateSize;
    const std::int64_t needed = veld::layout::tableLength(count);
    if (needed > h._size) {
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " is " + num(h._size) +
                    " bytes, too short for the " + num(count) + " blocks its first record counts");
        return L;
    }
    if (needed != h._size)
        problem(-1, h._infoPos,
                "the table at offset " + num(h._infoPos) + " is " + num(h._size) + " bytes, but " +
                    num(count) + " blocks need " + num(needed));
    if (first.orginalSize != kBlockSize)
        problem(-1, h._infoPos,
                "the table's first record gives a block size of " + num(first.orginalSize) +
                    ", not " + num(kBlockSize));

    // `needed` is within the file, so this allocation is bounded by its size.
    std::vector<unsigned char> table(static_cast<std::size_t>(needed - kRecordSize));
    if (!table.empty())
        file.readAt(table.data(), table.size(), h._infoPos + static_cast<std::int64_t>(kRecordSize));
    L.blocks.resize(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k)
        L.blocks[k] = veld::layout::decodeRecord(table.data() + k * kRecordSize, swap);
    L.tableLoaded = true;

    std::int64_t expectPos = row0, expectOff = payloadStart;
    for (std::int64_t k = 0; k < count; ++k) {
        const blockInfo& b = L.blocks[k];
        const std::string place = blockPlace(k, b.translatePos);
        const bool sizeOk = b.orginalSize >= 1 && b.orginalSize <= kBlockSize;
        const bool payloadOk = b.translateSize >= 1 && b.translateSize <= kMaxPayloadSize;
        if (!sizeOk)
            problem(k, b.translatePos,
                    place + " records " + num(b.orginalSize) + " uncompressed bytes, outside 1 to " +
                        num(kBlockSize));
        if (!payloadOk)
            problem(k, b.translatePos,
                    place + " records a payload of " + num(b.translateSize) + " bytes, outside 1 to " +
                        num(kMaxPayloadSize));
        if (b.orginalPos != expectPos)
            problem(k, b.translatePos,
                    place + " starts at position " + num(b.orginalPos) + ", not " + num(expectPos) +
                        (k ? " where the previous block ends" : " where the case data begins"));
        if (b.translatePos != expectOff)
            problem(k, b.translatePos,
                    place + " should lie at offset " + num(expectOff) +
                        (k ? ", right after the previous payload" : ", right after the heading"));
        if (b.translatePos < 0 || b.translatePos > size ||
            (payloadOk && b.translateSize > size - b.translatePos))
            problem(k, b.translatePos,
                    place + ": its payload of " + num(b.translateSize) +
                        " bytes lies outside the file (" + num(size) + " bytes)");
        else if (payloadOk && b.translatePos < L.tableEnd() &&
                 b.translatePos + b.translateSize > h._infoPos)
            problem(k, b.translatePos,
                    place + ": its payload overlaps the table at offset " + num(h._infoPos));
        if (sizeOk) {
            if (b.orginalSize < kBlockSize) ++L.shortBlocks;
            L.caseBytes += static_cast<std::uint64_t>(b.orginalSize);
            expectPos += b.orginalSize;
        }
        if (payloadOk) {
            L.payloadBytes += static_cast<std::uint64_t>(b.translateSize);
            expectOff += b.translateSize;
        }
    }
    L.dataEnd = expectPos;
    L.payloadEnd = expectOff;
    return L;
}

void checkPayloads(Layout& L, RawReader& file, int threads, Progress* progress) {
    if (!L.tableLoaded) return;
    struct Slot {
        std::unique_ptr<unsigned char[]> payload{new unsigned char[kMaxPayloadSize]};
        std::unique_ptr<unsigned char[]> out{new unsigned char[kInflateRoom]};
        std::uint64_t got = 0;
    };
    Slot slots[2];
    const std::int64_t count = static_cast<std::int64_t>(L.blocks.size());
    auto readable = [&](std::int64_t k) {
        const blockInfo& b = L.blocks[k];
        return b.translateSize >= 1 && b.translateSize <= kMaxPayloadSize && b.translatePos >= 0 &&
               b.translatePos <= L.fileSize && b.translateSize <= L.fileSize - b.translatePos;
    };
    auto load = [&](std::int64_t k, Slot& s) {
        const blockInfo& b = L.blocks[k];
        s.got = file.readAt(s.payload.get(), static_cast<std::uint64_t>(b.translateSize), b.translatePos);
    };
    auto judge = [&L](std::int64_t k, const Inflated& r) {
        const blockInfo& b = L.blocks[k];
        const std::string place = blockPlace(k, b.translatePos);
        const std::uint64_t want = static_cast<std::uint64_t>(b.orginalSize);
        std::string text;
        switch (r.kind) {
            case Inflated::Complete:
                if (r.produced != want)
                    text = place + " inflates to " + num(r.produced) + " bytes, not " + num(b.orginalSize);
                else if (r.consumed != static_cast<std::uint64_t>(b.translateSize))
                    text = place + ": its zlib stream ends after " + num(r.consumed) + " of its " +
                           num(b.translateSize) + " payload bytes";
                break;
            case Inflated::InputEnded:
                text = place + ": its zlib stream is cut short after " + num(b.translateSize) +
                       " payload bytes (" + num(r.produced) + " of " + num(b.orginalSize) +
                       " bytes inflated)";
                break;
            case Inflated::OutputFull:
                text = place + " inflates to more than " + num(kBlockSize) + " bytes, not " +
                       num(b.orginalSize);
                break;
            case Inflated::Damaged:
                text = r.message == "incorrect data check"
                           ? place + " fails its checksum: the payload is damaged"
                           : place + " does not inflate (zlib: " + r.message + ") after " +
                                 num(r.produced) + " bytes";
                break;
        }
        if (!text.empty()) L.problems.push_back({k, b.translatePos, text});
    };
    auto inflateSlot = [](Slot* s) {
        return inflateStrict(s->payload.get(), s->got, s->out.get(), kInflateRoom);
    };

    // With a second thread, block k inflates there while block k + 1 is read here.
    std::future<Inflated> pending;
    std::int64_t pendingBlock = -1;
    int next = 0;
    auto settle = [&]() {
        if (pendingBlock < 0) return;
        judge(pendingBlock, pending.get());
        if (progress) progress->advance(static_cast<std::uint64_t>(std::max(0, L.blocks[pendingBlock].orginalSize)));
        pendingBlock = -1;
    };
    for (std::int64_t k = 0; k < count; ++k) {
        if (!readable(k)) {
            if (progress) progress->advance(static_cast<std::uint64_t>(std::max(0, L.blocks[k].orginalSize)));
            continue;  // already reported by the structural checks
        }
        Slot& s = slots[next];
        load(k, s);
        if (threads >= 2) {
            settle();
            pending = std::async(std::launch::async, inflateSlot, &s);
            pendingBlock = k;
            next ^= 1;
        } else {
            judge(k, inflateSlot(&s));
            if (progress) progress->advance(static_cast<std::uint64_t>(std::max(0, L.blocks[k].orginalSize)));
        }
    }
    settle();
    std::stable_sort(L.problems.begin(), L.problems.end(),
                     [](const Problem& a, const Problem& b) { return a.block < b.block; });
}

std::int64_t scanPayloads(Layout& L, RawReader& file) {
    const std::int64_t size = L.fileSize;
    std::int64_t limit = size;
    if (L.headingRead && L.heading._infoPos > L.row0 && L.heading._infoPos < size)
        limit = L.heading._infoPos;
    std::unique_ptr<unsigned char[]> payload(new unsigned char[kMaxPayloadSize]);
    std::unique_ptr<unsigned char[]> out(new unsigned char[kInflateRoom]);
    std::int64_t off = L.row0 + static_cast<std::int64_t>(kHeadingSize);
    std::int64_t k = 0;
    while (off < limit) {
        const std::uint64_t n = std::min<std::uint64_t>(kMaxPayloadSize, static_cast<std::uint64_t>(size - off));
        const std::uint64_t got = file.readAt(payload.get(), n, off);
        const Inflated r = inflateStrict(payload.get(), got, out.get(), kInflateRoom);
        const std::string place = blockPlace(k, off);
        std::string text;
        if (r.kind == Inflated::Complete && r.produced >= 1 && r.produced <= static_cast<std::uint64_t>(kBlockSize)) {
            off += static_cast<std::int64_t>(r.consumed);
            ++k;
            continue;
        }
        if (r.kind == Inflated::InputEnded && off + static_cast<std::int64_t>(got) >= size)
            text = place + ": the file ends inside its payload (the file is " + num(size) +
                   " bytes; " + num(r.produced) + " bytes inflated)";
        else if (r.kind == Inflated::Damaged)
            text = place + " does not inflate (zlib: " + r.message + ") after " + num(r.produced) + " bytes";
        else
            text = place + ": no block of 1 to " + num(kBlockSize) + " bytes starts there";
        L.problems.push_back({k, off, text});
        break;
    }
    return k;
}

std::int64_t resolveRow0(RawReader& file, std::optional<std::int64_t> given, bool swap) {
    if (given) {
        if (*given <= 0) throw CliError(kExitUsage, "", "--row0 must be greater than 0");
        return *given;
    }
    const std::int64_t size = file.size();
    // A heading and the table's first record at least must follow P.
    const std::int64_t last = size - static_cast<std::int64_t>(kHeadingSize + kRecordSize);
    constexpr std::int64_t kChunk = 1 << 20;
    std::vector<unsigned char> buf(kChunk + 7);
    std::string nearMiss;
    for (std::int64_t base = 0; base <= last; base += kChunk) {
        const std::uint64_t want = static_cast<std::uint64_t>(std::min<std::int64_t>(kChunk + 7, size - base));
        const std::uint64_t got = file.readAt(buf.data(), want, base);
        for (std::int64_t i = base == 0 ? 1 : 0; i < kChunk && base + i <= last && i + 8 <= static_cast<std::int64_t>(got); ++i) {
            std::int64_t v;
            std::memcpy(&v, buf.data() + i, 8);
            if (swap) v = bswap64(v);
            if (v != base + i) continue;
            const std::string why = headingMismatch(file, base + i, swap);
            if (why.empty()) return base + i;
            if (nearMiss.empty())
                nearMiss = " (offset " + num(base + i) + " holds its own position, but " + why +
                           "; give --row0 " + num(base + i) + " to check it)";
        }
    }
    throw CliError(kExitUsage, file.path(),
                   std::string("no compressed part found: no offset holds its own position followed "
                               "by a sound table") +
                       (swap ? " in the other byte order" : "") +
                       (nearMiss.empty() ? "; give --row0 P" : nearMiss));
}

Layout requireSoundLayout(RawReader& file, std::int64_t row0, bool swap) {
    Layout L = inspectLayout(file, row0, swap);
    if (!L.sound()) {
        std::string text = L.problems.empty() ? "the table cannot be used" : L.problems.front().text;
        if (L.problems.size() > 1)
            text += " (and " + std::to_string(L.problems.size() - 1) + " more problems; run 'veld verify')";
        throw CliError(kExitDamaged, file.path(), text);
    }
    return L;
}

void rethrowNamingBlock(const std::string& path, std::int64_t row0, bool swap) {
    const std::string library = describeCurrentException();
    std::string found;
    try {
        RawReader raw(path);
        Layout L = inspectLayout(raw, row0, swap);
        checkPayloads(L, raw, 0, nullptr);
        if (!L.problems.empty()) found = L.problems.front().text;
    } catch (...) {
        // The library's own words are reported either way.
    }
    throw CliError(kExitDamaged, path, found.empty() ? library : found + " (" + library + ")");
}

}  // namespace veldcli
