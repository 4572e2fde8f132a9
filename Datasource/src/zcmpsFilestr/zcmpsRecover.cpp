// Recovery: what can be kept of a damaged compressed part, from the newest
// table found anywhere in the file or from the zlib streams themselves, and
// the new, valid file written from it.
#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>

#include "zcmpsInflateCheck.h"
#include "zcmpsInspect.h"
#include "zcmpsRebuild.h"

namespace veld::inspect {

using layout::kBlockSize;
using layout::kHeadingSize;
using layout::kMaxPayloadSize;
using layout::kRecordSize;

namespace {

std::string num(std::int64_t v) {
    return std::to_string(v);
}

// The source with other bytes in place of the heading at row0, so that a
// table found elsewhere is checked by the same rules as the heading's own.
class HeadingOverlay : public ByteSource {
public:
    HeadingOverlay(ByteSource& base, std::int64_t row0, const compressionHeading& h) : fBase(base), fRow0(row0) {
        layout::encodeHeading(h, fBytes);
    }
    std::int64_t size() const override { return fBase.size(); }
    std::uint64_t readAt(void* buffer, std::uint64_t n, std::int64_t offset) override {
        const std::uint64_t got = fBase.readAt(buffer, n, offset);
        auto* out = static_cast<unsigned char*>(buffer);
        for (std::uint64_t i = 0; i < got; ++i) {
            const std::int64_t at = offset + static_cast<std::int64_t>(i) - fRow0;
            if (at >= 0 && at < static_cast<std::int64_t>(kHeadingSize)) out[i] = fBytes[at];
        }
        return got;
    }

private:
    ByteSource& fBase;
    std::int64_t fRow0;
    unsigned char fBytes[kHeadingSize];
};

// Every payload is inflated at most once; what each one gave is kept by offset.
class PayloadJudge {
public:
    explicit PayloadJudge(ByteSource& source) : fSource(source) {}

    struct Stream {
        detail::Inflated r;
        std::int64_t readTo;            // the input offered ran to here
        std::uint32_t prefixAdler = 0;  // of the first `prefix` bytes it gave
        std::uint32_t adler = 0;        // of all it gave, for a short block
    };

    // The stream at `offset`, with as much input as a payload may take.
    const Stream& at(std::int64_t offset, std::uint64_t prefix = 0) {
        auto it = fSeen.find(offset);
        if (it != fSeen.end()) return it->second;
        const std::int64_t size = fSource.size();
        const std::uint64_t n = std::min<std::uint64_t>(
            kMaxPayloadSize, static_cast<std::uint64_t>(std::max<std::int64_t>(0, size - offset)));
        Stream s{inflateFrom(offset, n), 0, 0};
        s.readTo = offset + static_cast<std::int64_t>(n);
        const uLong start = adler32(0, nullptr, 0);
        if (prefix && s.r.produced >= prefix)
            s.prefixAdler = static_cast<std::uint32_t>(adler32(start, work().out.get(), static_cast<uInt>(prefix)));
        if (s.r.kind == detail::Inflated::Complete && s.r.produced < static_cast<std::uint64_t>(kBlockSize))
            s.adler = static_cast<std::uint32_t>(adler32(start, work().out.get(), static_cast<uInt>(s.r.produced)));
        return fSeen.emplace(offset, std::move(s)).first->second;
    }

    // "" when block k's payload inflates to its recorded size and uses every byte.
    std::string problem(std::int64_t k, const blockInfo& b) {
        const Stream& s = at(b.translatePos);
        const std::uint64_t want = static_cast<std::uint64_t>(b.translateSize);
        if (s.r.kind == detail::Inflated::Complete && s.r.consumed == want &&
            s.r.produced == static_cast<std::uint64_t>(b.orginalSize))
            return "";
        // The words for it come from the payload's own bytes alone (rare: damage only).
        return detail::payloadProblem(k, b, inflateFrom(b.translatePos, want));
    }

    // Its buffers, for other inflation in the same plan.
    detail::Buffers& work() {
        if (!fWork) fWork = std::make_unique<detail::Buffers>();
        return *fWork;
    }

private:
    detail::Inflated inflateFrom(std::int64_t offset, std::uint64_t n) {
        detail::Buffers& w = work();
        const std::uint64_t got = fSource.readAt(w.payload.get(), n, offset);
        return detail::inflateStrict(w.payload.get(), got, w.out.get(), detail::kInflateRoom);
    }
    ByteSource& fSource;
    std::unique_ptr<detail::Buffers> fWork;
    std::map<std::int64_t, Stream> fSeen;
};

// The zlib streams from row0 + 24 on, stepping over the tables that earlier
// appends left behind. A safe append copies a short last block after the old
// table with new bytes behind the old ones: a block right after a table that
// begins with the bytes of the short block before it takes that block's place.
struct StreamWalk {
    std::vector<blockInfo> blocks;
    std::int64_t end = 0;  // where it stopped
    std::string stopped;   // why ("" at the end of the file)
    std::uint64_t caseBytes = 0;
};

StreamWalk walkStreams(ByteSource& source, std::int64_t row0, const std::vector<FoundTable>& tables,
                       PayloadJudge& judge) {
    StreamWalk w;
    const std::int64_t size = source.size();
    std::map<std::int64_t, std::int64_t> tableAt;
    for (const FoundTable& t : tables) tableAt[t.offset] = t.length();
    std::int64_t pos = row0;
    std::int64_t off = row0 + static_cast<std::int64_t>(kHeadingSize);
    std::uint32_t lastAdler = 0;
    bool afterTable = false;
    while (off < size) {
        const blockInfo* last = w.blocks.empty() ? nullptr : &w.blocks.back();
        const bool mayReplace = afterTable && last && last->orginalSize < kBlockSize;
        const PayloadJudge::Stream& s = judge.at(off, mayReplace ? static_cast<std::uint64_t>(last->orginalSize) : 0);
        const detail::Inflated& r = s.r;
        if (r.kind == detail::Inflated::Complete && r.produced >= 1 &&
            r.produced <= static_cast<std::uint64_t>(kBlockSize)) {
            if (mayReplace && s.prefixAdler == lastAdler &&
                r.produced >= static_cast<std::uint64_t>(last->orginalSize)) {
                pos = last->orginalPos;
                w.caseBytes -= static_cast<std::uint64_t>(last->orginalSize);
                w.blocks.pop_back();
            }
            w.blocks.push_back(
                blockInfo{pos, off, static_cast<std::int32_t>(r.produced), static_cast<std::int32_t>(r.consumed)});
            pos += static_cast<std::int64_t>(r.produced);
            w.caseBytes += r.produced;
            lastAdler = s.adler;
            off += static_cast<std::int64_t>(r.consumed);
            afterTable = false;
            continue;
        }
        if (auto t = tableAt.find(off); t != tableAt.end()) {
            off += t->second;
            afterTable = true;
            continue;
        }
        const std::string place = blockPlace(static_cast<std::int64_t>(w.blocks.size()), off);
        if (r.kind == detail::Inflated::InputEnded && s.readTo >= size)
            w.stopped = place + ": the file ends inside its payload (the file is " + num(size) + " bytes; " +
                        num(static_cast<std::int64_t>(r.produced)) + " bytes inflated)";
        else if (r.kind == detail::Inflated::Damaged && r.message == "incorrect data check")
            w.stopped = place + " is damaged: its checksum fails";
        else if (r.kind == detail::Inflated::Damaged && r.produced > 0)
            w.stopped = place + " is damaged: it does not inflate (zlib: " + r.message + ") after " +
                        num(static_cast<std::int64_t>(r.produced)) + " bytes";
        else
            w.stopped = place + ": no block of 1 to " + num(kBlockSize) + " bytes starts there";
        break;
    }
    w.end = std::min(off, size);
    return w;
}

// Sound streams after the place where the walk stopped, found by their zlib
// headers: what a file without a table still holds past its damage. Nothing
// tells the damaged blocks' sizes, so their positions are unknown: they are
// only counted.
struct LaterStreams {
    std::int64_t blocks = 0;
    std::uint64_t caseBytes = 0;
};

LaterStreams countLaterStreams(ByteSource& source, std::int64_t from, const std::vector<FoundTable>& tables,
                                detail::Buffers& work) {
    LaterStreams later;
    const std::int64_t size = source.size();
    std::map<std::int64_t, std::int64_t> tableAt;
    for (const FoundTable& t : tables) tableAt[t.offset] = t.length();
    constexpr std::int64_t kChunk = 1 << 20;
    // No larger than the file: a small file costs what its bytes cost.
    std::vector<unsigned char> buf(static_cast<std::size_t>(std::clamp<std::int64_t>(size, 0, kChunk)) + 1);
    std::int64_t next = from + 1;  // the first offset not yet looked at
    for (std::int64_t base = next; base + 2 <= size; base += kChunk) {
        const std::uint64_t got = source.readAt(
            buf.data(), static_cast<std::uint64_t>(std::min<std::int64_t>(kChunk + 1, size - base)), base);
        for (std::int64_t i = 0; i < kChunk && i + 2 <= static_cast<std::int64_t>(got); ++i) {
            const std::int64_t at = base + i;
            if (at < next || !detail::zlibHeader(buf.data() + i)) continue;
            const detail::Inflated r = detail::probeStream(source, at, work);
            if (r.kind != detail::Inflated::Complete || r.produced < 1 ||
                r.produced > static_cast<std::uint64_t>(kBlockSize))
                continue;
            ++later.blocks;
            later.caseBytes += r.produced;
            next = at + static_cast<std::int64_t>(r.consumed);
            // A table behind it is no block.
            for (auto t = tableAt.find(next); t != tableAt.end(); t = tableAt.find(next)) next += t->second;
        }
    }
    return later;
}

// A table's records judged: structure first, then every payload.
struct TableView {
    const FoundTable* table = nullptr;
    std::vector<std::string> problems;  // per record; "" when sound
    std::vector<char> structural;       // per record: the record itself breaks a rule
    std::size_t run = 0;                // sound records from the first on
    std::uint64_t runBytes = 0;
    std::uint64_t soundBytes = 0;  // of every sound record
    std::int64_t claimedEnd = 0;   // where the records say the data ends
    std::uint64_t claimedBytes = 0;
    bool allSound() const { return run == problems.size(); }
};

bool fitsRow0(const FoundTable& t, std::int64_t row0) {
    if (t.offset < row0 + static_cast<std::int64_t>(kHeadingSize)) return false;
    return t.blocks.empty() || t.blocks.front().orginalPos == row0;
}

TableView judgeTable(ByteSource& source, std::int64_t row0, bool swap, const FoundTable& t, PayloadJudge& judge) {
    TableView v;
    v.table = &t;
    HeadingOverlay overlay(source, row0, compressionHeading{row0, t.offset, t.length()});
    const Layout L = inspectLayout(overlay, row0, swap);
    v.problems.assign(t.blocks.size(), std::string());
    v.structural.assign(t.blocks.size(), 0);
    for (const Problem& p : L.problems)
        if (p.block >= 0 && static_cast<std::size_t>(p.block) < v.problems.size() &&
            v.problems[static_cast<std::size_t>(p.block)].empty()) {
            v.problems[static_cast<std::size_t>(p.block)] = p.text;
            v.structural[static_cast<std::size_t>(p.block)] = 1;
        }
    bool inRun = true;
    for (std::size_t k = 0; k < t.blocks.size(); ++k) {
        if (v.problems[k].empty()) v.problems[k] = judge.problem(static_cast<std::int64_t>(k), t.blocks[k]);
        const bool sound = v.problems[k].empty();
        inRun = inRun && sound;
        if (sound) v.soundBytes += static_cast<std::uint64_t>(t.blocks[k].orginalSize);
        if (inRun) {
            ++v.run;
            v.runBytes += static_cast<std::uint64_t>(t.blocks[k].orginalSize);
        }
    }
    v.claimedEnd = L.dataEnd;
    v.claimedBytes = L.caseBytes;
    return v;
}

// What is wrong at the heading, in words for recovery ("" when nothing is).
std::string headingDamage(ByteSource& source, const Layout& L, const TableView* used) {
    const std::string at = "the heading at offset " + num(L.row0);
    if (!L.headingRead) {
        unsigned char bytes[kHeadingSize] = {};
        const bool zero = source.readAt(bytes, kHeadingSize, L.row0) == kHeadingSize &&
                          std::all_of(bytes, bytes + kHeadingSize, [](unsigned char b) { return b == 0; });
        return zero
                   ? at + " was never written (its 24 bytes are zero)"
                   : at + " is damaged: its first field holds " + num(L.heading._caseStartPos) + ", not " + num(L.row0);
    }
    if (used && L.heading._infoPos != used->table->offset)
        return at + " points to a table at offset " + num(L.heading._infoPos) + " (" + num(L.heading._size) +
               " bytes), not to the newest table, at offset " + num(used->table->offset) + " (" +
               num(used->table->length()) + " bytes)";
    if (!L.tableLoaded && !L.problems.empty()) return at + " does not fit a table: " + L.problems.front().text;
    return "";
}

void keepRun(RecoveryPlan& plan, const TableView& v) {
    const std::vector<blockInfo>& records = v.table->blocks;
    plan.fromTable = true;
    plan.tableOffset = v.table->offset;
    plan.blocks.assign(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(v.run));
    plan.caseBytes = v.runBytes;
    if (v.run < records.size()) {
        plan.damageOffset = records[v.run].translatePos;
        plan.damage = v.problems[v.run];
    }
    plan.lostBlocks = static_cast<std::int64_t>(records.size() - v.run);
    plan.lostCaseBytes = static_cast<std::int64_t>(v.claimedBytes - std::min(v.claimedBytes, v.runBytes));
}

// Every sound record at its position; the positions between them filled.
void keepSoundRecords(RecoveryPlan& plan, const TableView& v) {
    const std::vector<blockInfo>& records = v.table->blocks;
    plan.fromTable = true;
    plan.tableOffset = v.table->offset;
    std::int64_t cursor = plan.row0;
    std::size_t pending = 0;  // first record not yet kept or filled
    // Fills [cursor, end) for the records before upTo that were not kept: each
    // damaged one whose own fields place it there gets its range; what is left
    // goes to the first one that could not be placed.
    auto fillTo = [&](std::int64_t end, std::size_t upTo) {
        std::size_t unplaced = upTo;
        for (; pending < upTo; ++pending) {
            const blockInfo& b = records[pending];
            if (cursor < end && !v.problems[pending].empty() && b.orginalPos == cursor && b.orginalSize >= 1 &&
                b.orginalSize <= kBlockSize && cursor + b.orginalSize <= end) {
                plan.filled.push_back({cursor, cursor + b.orginalSize, static_cast<std::int64_t>(pending),
                                       b.translatePos, v.problems[pending]});
                cursor += b.orginalSize;
            } else if (unplaced == upTo && !v.problems[pending].empty()) {
                unplaced = pending;
            }
        }
        if (cursor < end) {
            if (unplaced < upTo)
                plan.filled.push_back({cursor, end, static_cast<std::int64_t>(unplaced), records[unplaced].translatePos,
                                       v.problems[unplaced]});
            else
                plan.filled.push_back({cursor, end, -1, -1, "no block of the table holds these positions"});
            cursor = end;
        }
    };
    for (std::size_t k = 0; k < records.size(); ++k) {
        const blockInfo& b = records[k];
        if (!v.problems[k].empty() || b.orginalPos < cursor) continue;
        fillTo(b.orginalPos, k);
        plan.blocks.push_back(b);
        plan.caseBytes += static_cast<std::uint64_t>(b.orginalSize);
        cursor = b.orginalPos + b.orginalSize;
        pending = k + 1;
    }
    if (!records.empty()) fillTo(v.claimedEnd, records.size());
    std::int64_t filledBytes = 0;
    for (const FilledRange& f : plan.filled) filledBytes += f.to - f.from;
    if (!plan.filled.empty()) {
        plan.damageOffset = plan.filled.front().offset;
        plan.damage = plan.filled.front().why;
    }
    plan.lostBlocks = static_cast<std::int64_t>(records.size() - plan.blocks.size());
    plan.lostCaseBytes = filledBytes;
}

std::int64_t endOf(const std::vector<blockInfo>& blocks, std::int64_t row0) {
    return blocks.empty() ? row0 : blocks.back().orginalPos + blocks.back().orginalSize;
}

}  // namespace

RecoveryPlan planRecovery(ByteSource& source, std::int64_t row0, bool swap, bool fillDamaged) {
    RecoveryPlan plan;
    plan.row0 = row0;
    plan.swap = swap;
    plan.fillDamaged = fillDamaged;
    plan.dataEnd = row0;
    const std::int64_t size = source.size();
    if (row0 <= 0 || row0 > size - static_cast<std::int64_t>(kHeadingSize)) {
        plan.damageOffset = std::max<std::int64_t>(0, std::min(row0, size));
        plan.damage = "the file (" + num(size) + " bytes) has no room for a heading at offset " + num(row0);
        return plan;
    }
    const Layout L = inspectLayout(source, row0, swap);
    const std::vector<FoundTable> tables = findTables(source, swap);
    PayloadJudge judge(source);
    // The walk first: it meets the payloads in file order, each inflated once.
    const StreamWalk walk = walkStreams(source, row0, tables, judge);

    // The tables that fit row0, newest first (a few), and the heading's own.
    std::vector<TableView> views;
    for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
        const bool headings = L.headingRead && it->offset == L.heading._infoPos;
        if (!fitsRow0(*it, row0) || (views.size() >= 8 && !headings)) continue;
        views.push_back(judgeTable(source, row0, swap, *it, judge));
    }
    const TableView* reached = nullptr;  // the table the heading reaches, when it checks out
    for (const TableView& v : views)
        if (L.tableLoaded && L.problems.empty() && v.table->offset == L.heading._infoPos) reached = &v;
    const TableView* best = nullptr;
    for (const TableView& v : views)
        if (!best || (fillDamaged ? v.soundBytes > best->soundBytes : v.runBytes > best->runBytes)) best = &v;

    // Sound: the heading reaches a table whose every payload is sound, and no
    // other table holds more. Payloads no table counts (an append that was
    // stopped before its table) are stale bytes of a file that reads as it was.
    if (reached && reached->allSound() && reached->runBytes >= (fillDamaged ? best->soundBytes : best->runBytes)) {
        plan.sound = plan.fromTable = true;
        plan.tableOffset = reached->table->offset;
        plan.blocks = reached->table->blocks;
        plan.caseBytes = reached->runBytes;
        plan.dataEnd = endOf(plan.blocks, row0);
        plan.lostBlocks = plan.lostCaseBytes = 0;
        return plan;
    }

    const bool useTable = best && (fillDamaged ? best->soundBytes : best->runBytes) >= walk.caseBytes;
    if (useTable) {
        if (fillDamaged)
            keepSoundRecords(plan, *best);
        else
            keepRun(plan, *best);
        plan.dataEnd =
            plan.filled.empty() ? endOf(plan.blocks, row0) : std::max(endOf(plan.blocks, row0), plan.filled.back().to);
    } else {
        plan.blocks = walk.blocks;
        plan.caseBytes = walk.caseBytes;
        plan.dataEnd = endOf(plan.blocks, row0);
        if (!walk.stopped.empty()) {
            plan.damageOffset = walk.end;
            plan.damage = walk.stopped;
            plan.unusedBytes = size - walk.end;
            if (!best) {
                const LaterStreams later = countLaterStreams(source, walk.end, tables, judge.work());
                plan.laterBlocks = later.blocks;
                plan.laterCaseBytes = later.caseBytes;
            }
        }
        if (best) {
            // What the table still claims beyond the walk, in the records that make sense.
            const std::vector<blockInfo>& records = best->table->blocks;
            plan.lostBlocks = plan.lostCaseBytes = 0;
            for (std::size_t k = 0; k < records.size(); ++k) {
                const blockInfo& b = records[k];
                if (best->structural[k] || b.orginalPos + b.orginalSize <= plan.dataEnd) continue;
                ++plan.lostBlocks;
                plan.lostCaseBytes += b.orginalPos + b.orginalSize - std::max(b.orginalPos, plan.dataEnd);
            }
            // A walk that kept everything still names the table's damage.
            for (std::size_t k = 0; k < records.size() && plan.damageOffset < 0; ++k)
                if (best->structural[k]) {
                    plan.damageOffset = best->table->offset + static_cast<std::int64_t>((k + 1) * kRecordSize);
                    plan.damage = "the table's record of block " + num(static_cast<std::int64_t>(k)) + " at offset " +
                                  num(plan.damageOffset) + " is damaged: " + best->problems[k];
                }
        }
    }
    // Sound blocks past the kept run that only --fill-damaged keeps.
    if (best && !fillDamaged) {
        const std::vector<blockInfo>& records = best->table->blocks;
        for (std::size_t k = 0; k < records.size(); ++k)
            if (best->problems[k].empty() && records[k].orginalPos >= plan.dataEnd) {
                plan.laterPlaced = true;
                ++plan.laterBlocks;
                plan.laterCaseBytes += static_cast<std::uint64_t>(records[k].orginalSize);
            }
    }
    if (plan.damageOffset < 0) {
        plan.damage = headingDamage(source, L, useTable ? best : nullptr);
        if (!plan.damage.empty()) plan.damageOffset = row0;
    }
    return plan;
}

std::string recoveryTempName(const std::string& output) {
    return output + ".veld-recover";
}

std::int64_t writeRecovered(const RecoveryPlan& plan, ByteSource& source, const std::string& output) {
    std::vector<detail::Piece> pieces;
    std::size_t f = 0;
    auto zeros = [&pieces](std::int64_t from, std::int64_t to) {
        for (std::int64_t at = from; at < to; at += kBlockSize)
            pieces.push_back({at, static_cast<std::int32_t>(std::min<std::int64_t>(kBlockSize, to - at)), 0, 0});
    };
    for (const blockInfo& b : plan.blocks) {
        for (; f < plan.filled.size() && plan.filled[f].from < b.orginalPos; ++f)
            zeros(plan.filled[f].from, plan.filled[f].to);
        pieces.push_back({b.orginalPos, b.orginalSize, b.translatePos, b.translateSize});
    }
    for (; f < plan.filled.size(); ++f) zeros(plan.filled[f].from, plan.filled[f].to);
    return detail::rebuildFile(source, plan.row0, pieces, output, recoveryTempName(output));
}

}  // namespace veld::inspect
