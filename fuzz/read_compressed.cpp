// Reads a compressed data file through the public classes, as an application
// does: plain stream, compressed stream, readFilePosInfo, then reads and seeks.
// Input: flags (bit 0: swapped byte order, bit 1: one byte of the file lies on
// a bad region, whose reads fail with EIO, bit 2: early stop, bit 3: a block
// cache at setting 2), P as two little-endian bytes, a byte that picks the
// read sizes and seek targets, then the file itself. Borrowed blocks too.
// The file is read at setting 0 and at setting 2, and the two transcripts
// (bytes, refusals with their texts and Good(), call by call) must be identical;
// VELD_FUZZ_SAME_SETTINGS=0 turns that comparison off.
#include <algorithm>
#include <cerrno>
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
// Bytes read per setting: at most three blocks, and no more than the input's
// own size allows, so that a small input stays cheap (a table can announce
// many full blocks, and a block of zeros inflates a thousandfold).
constexpr std::uint64_t kMaxBudget = 3 * kBlock;
constexpr std::uint64_t kBudgetPerInputByte = 32;
constexpr int kMaxCalls = 64;

struct Script {
    bool swap;
    bool earlyStop;
    bool cached;
    std::int64_t P;
    std::uint8_t ops;
    std::uint64_t budget;
};

std::string describe(const veld::CheckFailure& e) { return "check " + e.expression() + " | " + e.detail(); }

std::vector<std::string> run(const Script& s, int setting) {
    std::vector<std::string> out;
    static std::vector<unsigned char> buf(kBlock + 3);
    const std::uint64_t pieces[] = {1, 511, 4096, 100000, kBlock + 3};
    const std::uint64_t piece = std::min(pieces[s.ops % 5], s.budget);
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
                   std::to_string(z.Tell()) + " good " + std::to_string(z.Good());
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
            } catch (const veld::DataSourceError& e) {
                r = std::string("io ") + e.what();
            }
            out.push_back(r + " good " + std::to_string(z.Good()));
            z.Clear();
            total += got;
            if (got == 0 || total >= s.budget || ++calls == kMaxCalls) break;
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
                out.push_back(describe(e) + " good " + std::to_string(z.Good()));
            } catch (const veld::DataSourceError& e) {
                out.push_back(std::string("io ") + e.what() + " good " + std::to_string(z.Good()));
            }
            z.Clear();
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
                out.push_back(describe(e) + " good " + std::to_string(z.Good()));
            } catch (const veld::DataSourceError& e) {
                out.push_back(std::string("io ") + e.what() + " good " + std::to_string(z.Good()));
            }
            z.Clear();
        }
        return std::string("closed");
    });
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint64_t budget = std::clamp<std::uint64_t>(kBudgetPerInputByte * size, 65536, kMaxBudget);
    const Script s{(data[0] & 1) != 0, (data[0] & 4) != 0, (data[0] & 8) != 0, static_cast<std::int64_t>(data[1] | (data[2] << 8)), data[3], budget};
    veldfuzz::writeScratch(data + 4, size - 4);
    if ((data[0] & 2) && size > 4) {
        const std::int64_t bad = static_cast<std::int64_t>((data[3] * 4099u + data[1]) % (size - 4));
        veldfuzz::failScratchReads(bad, bad + 1, EIO);
    }
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
