// Recovery: the longest run of complete blocks from the row-0 position on,
// written out as a new, valid file with a fresh table and heading.
#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "ThrowError.h"
#include "crt.h"
#include "zcmpsInspect.h"

namespace veld::inspect {

using layout::kBlockSize;
using layout::kHeadingSize;
using layout::kMaxPayloadSize;
using layout::kRecordSize;

RecoveryPlan planRecovery(ByteSource& source, std::int64_t row0, bool swap) {
    RecoveryPlan plan;
    plan.row0 = row0;
    plan.swap = swap;
    Layout L = inspectLayout(source, row0, swap);
    checkPayloads(L, source, 0);

    // The table's records, up to the first one that is not sound.
    std::size_t firstBad = L.blocks.size();
    for (const Problem& p : L.problems)
        if (p.block >= 0) firstBad = std::min(firstBad, static_cast<std::size_t>(p.block));
    const Problem* tableDamage = L.problems.empty() ? nullptr : &L.problems.front();
    for (const Problem& p : L.problems)
        if (p.block >= 0 && static_cast<std::size_t>(p.block) == firstBad) {
            tableDamage = &p;
            break;
        }
    std::uint64_t tableCase = 0;
    for (std::size_t k = 0; k < firstBad && L.tableLoaded; ++k)
        tableCase += static_cast<std::uint64_t>(L.blocks[k].orginalSize);
    if (L.sound()) {
        plan.sound = plan.fromTable = true;
        plan.blocks = L.blocks;
        plan.caseBytes = L.caseBytes;
        plan.lostBlocks = plan.lostCaseBytes = 0;
        return plan;
    }

    // The payloads themselves, when the table cannot say more.
    const Walk walk = walkPayloads(source, row0);
    if (L.tableLoaded && tableCase >= walk.caseBytes) {
        plan.fromTable = true;
        plan.blocks.assign(L.blocks.begin(), L.blocks.begin() + static_cast<std::ptrdiff_t>(firstBad));
        plan.caseBytes = tableCase;
        plan.damageOffset = tableDamage->offset;
        plan.damage = tableDamage->text;
    } else {
        plan.blocks = walk.blocks;
        plan.caseBytes = walk.caseBytes;
        const bool walkedToTheEnd = walk.end >= source.size();
        plan.damageOffset = walkedToTheEnd && tableDamage ? tableDamage->offset : walk.end;
        plan.damage = walkedToTheEnd ? (tableDamage ? tableDamage->text : "") : walk.stopped;
        // A heading that is there but points to a damaged table is worth naming too.
        if (tableDamage && !walkedToTheEnd && L.headingRead) plan.damage += "; " + tableDamage->text;
    }
    if (L.tableLoaded) {
        // What the table still claims beyond what is kept.
        plan.lostBlocks = std::max<std::int64_t>(0, static_cast<std::int64_t>(L.blocks.size() - plan.blocks.size()));
        plan.lostCaseBytes = std::max<std::int64_t>(0, static_cast<std::int64_t>(L.caseBytes - plan.caseBytes));
    }
    return plan;
}

std::string recoveryTempName(const std::string& output) { return output + ".veld-recover"; }

namespace {

void openForWriting(VELD_File& file, const std::string& path) {
    ExtNameStr name;
    name.SetGeneric(path);
    errno = 0;
    if (!file.Open(name, "wb")) ThrowError::StringSys("datasrc.err", errcode::kCannotWrite, path.c_str());
}

}  // namespace

std::int64_t writeRecovered(const RecoveryPlan& plan, ByteSource& source, const std::string& output) {
    const std::string temp = recoveryTempName(output);
    RefCountPtr<VELD_File> out(new VELD_File(false));
    std::int64_t end = plan.row0 + static_cast<std::int64_t>(kHeadingSize);
    try {
        openForWriting(*out, temp);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[kMaxPayloadSize]);
        // The dictionary part, as it is.
        for (std::int64_t at = 0; at < plan.row0;) {
            const std::uint64_t want = static_cast<std::uint64_t>(std::min<std::int64_t>(kBlockSize, plan.row0 - at));
            const std::uint64_t got = source.readAt(buf.get(), want, at);
            if (got != want) throw std::runtime_error("the input changed while it was recovered");
            out->Write(buf.get(), got, at);
            at += static_cast<std::int64_t>(got);
        }
        // The payloads back to back, each recorded where it now lies.
        std::vector<blockInfo> records;
        records.reserve(plan.blocks.size());
        for (const blockInfo& b : plan.blocks) {
            const std::uint64_t n = static_cast<std::uint64_t>(std::clamp<std::int64_t>(b.translateSize, 0, kMaxPayloadSize));
            if (n == 0 || source.readAt(buf.get(), n, b.translatePos) != n)
                throw std::runtime_error("the input changed while it was recovered");
            out->Write(buf.get(), n, end);
            records.push_back(blockInfo{b.orginalPos, end, b.orginalSize, static_cast<std::int32_t>(n)});
            end += static_cast<std::int64_t>(n);
        }
        std::vector<unsigned char> table(layout::tableLength(static_cast<std::int64_t>(records.size())));
        layout::encodeRecord(layout::firstRecord(kBlockSize, static_cast<std::int32_t>(records.size())), table.data());
        for (std::size_t k = 0; k < records.size(); ++k)
            layout::encodeRecord(records[k], table.data() + (k + 1) * kRecordSize);
        out->Write(table.data(), table.size(), end);
        // The heading last, as a writer stores it.
        unsigned char heading[kHeadingSize];
        layout::encodeHeading(compressionHeading{plan.row0, end, static_cast<std::int64_t>(table.size())}, heading);
        out->Write(heading, kHeadingSize, plan.row0);
        end += static_cast<std::int64_t>(table.size());
        // On the disk before it takes the output's name: with --in-place a
        // crash after the rename must not lose both versions.
        out->Commit();
        out->Close();
    } catch (...) {
        try {
            if (out->IsOpen()) out->Close();
        } catch (...) {
        }
        crt::removeFile(temp);
        throw;
    }
    // The input may be the file replaced: let it go first.
    if (auto* file = dynamic_cast<FileSource*>(&source)) file->close();
    if (crt::renameFile(temp, output) != 0) {
        const int err = errno;
        crt::removeFile(temp);
        errno = err;
        ThrowError::StringSys("datasrc.err", errcode::kCannotWrite, output.c_str());
    }
    // The new name on the disk too; the file itself already is.
    crt::syncDirectoryOf(output);
    return end;
}

}  // namespace veld::inspect
