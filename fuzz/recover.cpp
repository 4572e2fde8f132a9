// Inspection and recovery on arbitrary bytes: layout inspection, the payload
// check and walk, the row-0 searches and the recovery plan. A plan that keeps
// blocks is written out, and the file it gives must read back through the
// public classes with exactly the case bytes the plan promised.
// Input: flags (bit 0: swapped byte order, bit 1: check payloads on two
// threads, bit 2: fill damaged blocks), P as two little-endian bytes, then the
// file itself.
#include <cstdio>
#include <string>
#include <vector>

#include "VELD_FileStream.h"
#include "fuzz_support.h"
#include "zcmpsFilestr.h"
#include "zcmpsInspect.h"

namespace {

constexpr std::uint64_t kBlock = 4190208;

std::uint64_t readAllCases(const std::string& path, std::int64_t row0) {
    VELD_FileStream plain(path.c_str(), "rb");
    zcmpsFilestr z(plain);
    z.readFilePosInfo(row0, false);
    // Kept across inputs: a fresh block per input costs more than reading it.
    static std::vector<unsigned char> buf(kBlock);
    std::uint64_t total = 0;
    for (std::uint64_t n; (n = z.Read(buf.data(), buf.size())) > 0;) total += n;
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const bool swap = (data[0] & 1) != 0;
    const int threads = (data[0] & 2) ? 2 : 0;
    const bool fill = (data[0] & 4) != 0;
    const std::int64_t row0 = data[1] | (data[2] << 8);
    veld::inspect::MemorySource source(data + 3, size - 3);

    veldfuzz::refusalsAreFine([&] {
        veld::inspect::Layout layout = veld::inspect::inspectLayout(source, row0, swap);
        veld::inspect::checkPayloads(layout, source, threads);
    });
    veldfuzz::refusalsAreFine([&] { veld::inspect::walkPayloads(source, row0); });
    veldfuzz::refusalsAreFine([&] {
        std::string why;
        std::int64_t at = -1;
        veld::inspect::findRow0(source, swap, &why, &at);
        veld::inspect::findUnfinishedRow0(source);
        veld::inspect::locateRow0(source, swap, veld::inspect::findTables(source, swap));
    });

    veld::inspect::RecoveryPlan plan;
    bool planned = false;
    veldfuzz::refusalsAreFine([&] {
        plan = veld::inspect::planRecovery(source, row0, swap, fill);
        planned = true;
    });
    // Written and read back only while that stays cheap.
    const std::uint64_t plannedBytes = static_cast<std::uint64_t>(plan.dataEnd - plan.row0);
    if (!planned || plan.row0 <= 0 || plan.blocks.empty() || plannedBytes > 3 * kBlock) return 0;
    const std::string out = veldfuzz::diskScratchFile() + ".recovered";
    std::int64_t written = 0;
    veldfuzz::refusalsAreFine([&] { written = veld::inspect::writeRecovered(plan, source, out); });
    if (written <= 0) veldfuzz::finding("a recovery plan with blocks could not be written");
    std::uint64_t got = 0;
    try {
        got = readAllCases(out, plan.row0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "reading the recovered file: %s\n", e.what());
        veldfuzz::finding("the recovered file does not read back");
    }
    std::remove(out.c_str());
    if (got != plannedBytes) veldfuzz::finding("the recovered file holds other case bytes than planned");
    return 0;
}
