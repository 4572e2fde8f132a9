// Reads a compressed data file through the public classes, as an application
// does: plain stream, compressed stream, readFilePosInfo, then reads and seeks.
// Input: flags (bit 0: swapped byte order, bit 1: early stop, bit 2: a block
// cache at setting 2), P as two little-endian bytes, a byte that picks the
// read sizes and seek targets, then the file itself. Borrowed blocks too.
// The file is read at setting 0 and at setting 2, and the two transcripts
// (bytes and refusals with their texts, call by call) must be identical;
// VELD_FUZZ_SAME_SETTINGS=0 turns that comparison off.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "VELD_FileStream.h"
#include "fuzz_support.h"
#include "zcmpsFilestr.h"

namespace {

constexpr std::uint64_t kBlock = 4190208;
// Bytes read per setting; a hostile table can announce many full blocks.
constexpr std::uint64_t kBudget = 3 * kBlock;
constexpr int kMaxCalls = 64;

struct Script {
    bool swap;
    bool earlyStop;
    bool cached;
    std::int64_t P;
    std::uint8_t ops;
};

std::string describe(const veld::CheckFailure& e) { return "check " + e.expression() + " | " + e.detail(); }

std::vector<std::string> run(const Script& s, int setting) {
    std::vector<std::string> out;
    static std::vector<unsigned char> buf(kBlock + 3);
    const std::uint64_t pieces[] = {1, 511, 4096, 100000, kBlock + 3};
    const std::uint64_t piece = pieces[s.ops % 5];
    auto record = [&](auto&& step) {
        try {
            out.push_back(step());
        } catch (const veld::CheckFailure& e) {
            out.push_back(describe(e));
        } catch (const veld::DataSourceError& e) {
            out.push_back(std::string("io ") + e.what());
        } catch (const SystemFileException& e) {
            out.push_back("reopen " + e.fExpression);
        }
    };
    record([&] {
        VELD_FileStream plain(veldfuzz::scratchFile().c_str(), "rb");
        zcmpsFilestr z(plain);
        if (setting) z.setMultiThread(setting);
        z.setEarlyStop(s.earlyStop);
        if (setting && s.cached) z.setBlockCache(2);
        z.readFilePosInfo(s.P, s.swap);
        auto readOnce = [&](std::uint64_t n) {
            const std::uint64_t got = z.Read(buf.data(), n);
            if (got > n) veldfuzz::finding("Read returned more than asked");
            return "read " + std::to_string(got) + " crc " +
                   std::to_string(crc32(0, buf.data(), static_cast<uInt>(got))) + " at " +
                   std::to_string(z.Tell());
        };
        std::uint64_t total = 0;
        int calls = 0;
        for (;;) {
            std::string r;
            std::uint64_t got = 0;
            try {
                r = readOnce(piece);
                got = std::strtoull(r.c_str() + 5, nullptr, 10);
            } catch (const veld::CheckFailure& e) {
                r = describe(e);
            }
            out.push_back(r);
            total += got;
            if (got == 0 || total >= kBudget || ++calls == kMaxCalls) break;
        }
        // Seeks: back to the start, into the middle of what was read, past the end.
        const std::int64_t targets[] = {s.P, s.P + static_cast<std::int64_t>(total / 2),
                                        s.P + static_cast<std::int64_t>(s.ops) * 4093,
                                        s.P + static_cast<std::int64_t>(total) + 1, s.P - 1};
        for (std::int64_t t : targets) {
            z.Seek(t, VELD_StrBaseIO::FromStart);
            try {
                out.push_back(readOnce(std::min<std::uint64_t>(piece, 70000)));
            } catch (const veld::CheckFailure& e) {
                out.push_back(describe(e));
            }
        }
        // Lent blocks: where the reads began, and at the third target.
        for (std::int64_t t : {targets[0], targets[2]}) {
            try {
                std::uint64_t length = 0;
                const unsigned char* bytes = z.borrowBlock(t, length);
                if ((bytes == nullptr) != (length == 0)) veldfuzz::finding("borrowBlock's pointer and length disagree");
                out.push_back("borrow " + std::to_string(length) + " crc " +
                              std::to_string(bytes ? crc32(0, bytes, static_cast<uInt>(length)) : 0) + " at " +
                              std::to_string(z.Tell()));
            } catch (const veld::CheckFailure& e) {
                out.push_back(describe(e));
            }
        }
        return std::string("closed");
    });
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const Script s{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) != 0, static_cast<std::int64_t>(data[1] | (data[2] << 8)), data[3]};
    veldfuzz::writeScratch(data + 4, size - 4);
    const auto inline0 = run(s, 0);
    const auto ahead2 = run(s, 2);
    static const bool compare = [] {
        const char* v = std::getenv("VELD_FUZZ_SAME_SETTINGS");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    if (compare && inline0 != ahead2) {
        const std::size_t n = std::min(inline0.size(), ahead2.size());
        std::size_t i = 0;
        while (i < n && inline0[i] == ahead2[i]) ++i;
        std::fprintf(stderr, "call %zu:\n  setting 0: %s\n  setting 2: %s\n", i,
                     i < inline0.size() ? inline0[i].c_str() : "(none)",
                     i < ahead2.size() ? ahead2[i].c_str() : "(none)");
        veldfuzz::finding("settings 0 and 2 differ");
    }
    return 0;
}
