// bench: each row is a throughput of the library beside a reference measured
// in the same run on the same data (plain system calls, zlib called directly
// on the same blocks, or another packing program), and their ratio. The two
// sides of a row run in alternation, veld then the reference, kRuns rounds,
// and each side's best round counts: page-cache state and machine drift then
// fall on both alike. A side that writes a file starts with it removed, off
// the clock. Files stay in the page cache and writes are not synced, for the
// library and the reference alike. The last rows compare sizes.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "VELD_FileStream.h"
#include "blockEngine.h"
#include "cli_support.h"
#include "commands.h"
#include "compressedLayout.h"
#include "cpu_state.h"
#include "layout_inspector.h"
#include "sample_data.h"
#include "stream_io.h"
#include "sys_file.h"
#include "zcmpsFilestr.h"

namespace veldcli {

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using veld::layout::kBlockSize;

constexpr int kRuns = 3;
constexpr int kMaxRuns = 15;
constexpr double kBusySeconds = 2;
constexpr std::uint64_t kPlainPiece = 64 * 1024;  // a typical application read or write
constexpr std::uint64_t kCasePiece = 1 << 20;

struct BenchRow {
    std::string what;
    double veld;
    std::string reference;
    double ref;
    std::string unit;
};

double seconds(const std::function<void()>& run) {
    // Vector state left by the previous run (of either side) would slow this one.
    veld::platform::clearVectorState();
    const auto start = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds of each side's fastest round.
struct Pair {
    double veld = 1e300;
    double ref = 1e300;
};

// veld, reference, veld, reference, ...: kRuns rounds, and more while the
// row has taken less than kBusySeconds, up to kMaxRuns: a run of a few tens of
// milliseconds is easily cut into by another process on a shared machine.
// Every timed row goes through here, so no side gets the warmer cache or the
// quieter minute. `before(veldNext)` runs untimed ahead of every run.
Pair alternate(const std::function<void()>& veld, const std::function<void()>& ref,
               const std::function<void(bool veldNext)>& before = [](bool) {}) {
    Pair fastest;
    double busy = 0;
    for (int i = 0; i < kMaxRuns && (i < kRuns || busy < kBusySeconds); ++i) {
        before(true);
        const double v = seconds(veld);
        before(false);
        const double r = seconds(ref);
        fastest.veld = std::min(fastest.veld, v);
        fastest.ref = std::min(fastest.ref, r);
        busy += v + r;
    }
    return fastest;
}

// A `before` for rows that write files: each side starts with its output
// gone, so dropping the old file's pages, and any wait on their writeback,
// is timed on neither side.
std::function<void(bool)> outputsRemoved(const std::string& veldOutput, const std::string& refOutput) {
    return [=](bool veldNext) {
        std::error_code ignored;
        std::filesystem::remove(veldNext ? veldOutput : refOutput, ignored);
    };
}

bool isSize(const std::string& unit) { return unit == "MB"; }

double mibPerSecond(std::uint64_t bytes, double seconds) { return bytes / seconds / (1 << 20); }

class Bench {
public:
    explicit Bench(const BenchOptions& o) : fOptions(o) {}
    ~Bench() {
        // Hundreds of MiB: never left behind, whether the run ended well or not.
        for (const char* name : {"plain.veld", "plain.ref", "cases.s0.zdat", "cases.s1.zdat", "cases.ref", "peer.dat",
                                 "peer.zdat", "peer.out", "peer.gz", "peer.zst", "level.zdat"}) {
            std::error_code ignored;
            std::filesystem::remove(path(name), ignored);
        }
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;
    int run();

private:
    std::string path(const std::string& name) const {
        return (std::filesystem::path(fOptions.dir) / name).string();
    }
    void add(std::string what, double veld, std::string reference, double ref, std::string unit = "MiB/s") {
        fRows.push_back({std::move(what), veld, std::move(reference), ref, std::move(unit)});
        if (!fOptions.json) printRow(fRows.back());
    }
    void addRate(std::string what, std::string reference, std::uint64_t bytes, const Pair& p) {
        add(std::move(what), mibPerSecond(bytes, p.veld), std::move(reference), mibPerSecond(bytes, p.ref));
    }
    void printRow(const BenchRow& r) const;
    void check(bool ok, const std::string& what) {
        if (!ok && fFailure.empty()) fFailure = what;
    }

    void plainRows();
    void compressedWriteRows();
    void compressedReadRows();
    void randomReadRows();
    void engineRows();
    void peerRows();
    void levelRows();
    void sizeRows();

    // Library side.
    void writeCompressed(const std::string& file, int threads, bool makeRecords);
    void readCompressed(const std::string& file, int threads, bool checkRecords);
    // Reference side: zlib on the same blocks, plain system calls for the file.
    // zlib's compress2 at level 1 per block, or `engine` when given.
    void writeReference(const std::string& file, bool makeRecords, veld::BlockEngineCodec* engine = nullptr);
    void readReference(const std::string& file, bool checkRecords);
    // The caller's own work: making records as it writes, checking them as it reads.
    std::uint64_t makePiece(std::uint64_t at, unsigned char* piece);
    void checkPiece(std::uint64_t at, const unsigned char* piece, std::uint64_t n);
    void analyse(const unsigned char* piece, std::uint64_t n);

    BenchOptions fOptions;
    std::string fDict;
    Bytes fCases;
    Bytes fScratch;
    double fSink = 0;  // keeps the analysis from being optimised away
    std::uint64_t fPlainBytes = 0;  // 4 times the case data, in whole pieces
    Layout fLayout;  // of the compressed file, for the reference readers
    std::vector<BenchRow> fRows;
    std::vector<std::pair<std::string, std::uint64_t>> fPeerSizes;  // a peer's packed file, in bytes
    std::string fFailure;
};

void Bench::printRow(const BenchRow& r) const {
    // Sizes to the kB and their ratio to a thousandth: a 0.1% difference shows.
    const int digits = isSize(r.unit) ? 3 : 0;
    char veld[32], ref[32];
    std::snprintf(veld, sizeof veld, "%.*f %s", digits, r.veld, r.unit.c_str());
    std::snprintf(ref, sizeof ref, "%.*f %s", digits, r.ref, r.unit.c_str());
    std::printf("  %-44s %14s   %-44s %14s  %5.*f\n", r.what.c_str(), veld, r.reference.c_str(), ref,
                isSize(r.unit) ? 3 : 2, r.ref > 0 ? r.veld / r.ref : 0.0);
    std::fflush(stdout);
}

std::uint64_t Bench::makePiece(std::uint64_t at, unsigned char* piece) {
    const std::size_t rs = sampleRecordSize();
    const std::uint64_t records = std::min<std::uint64_t>(kCasePiece / rs, (fCases.size() - at) / rs);
    sampleRecords(at / rs, records, piece);
    analyse(piece, records * rs);
    return records * rs;
}

void Bench::analyse(const unsigned char* piece, std::uint64_t n) {
    // Descriptive statistics of the numbers, with a log transform of the
    // positive ones: the kind of work an application does per case.
    double sum = 0, squares = 0, logs = 0;
    for (std::uint64_t i = 0; i + 8 <= n; i += 8) {
        double v;
        std::memcpy(&v, piece + i, 8);
        if (v > 0 && v < 1e300) {
            sum += v;
            squares += v * v;
            logs += std::log(v);
        }
    }
    fSink += sum + squares + logs;
}

void Bench::checkPiece(std::uint64_t at, const unsigned char* piece, std::uint64_t n) {
    const std::size_t rs = sampleRecordSize();
    const std::uint64_t first = at / rs, last = (at + n - 1) / rs;
    fScratch.resize((last - first + 1) * rs);
    sampleRecords(first, last - first + 1, fScratch.data());
    check(std::memcmp(fScratch.data() + (at - first * rs), piece, n) == 0,
          "a record read back differs at case offset " + std::to_string(at));
    analyse(piece, n);
}

void Bench::plainRows() {
    // Whole pieces, each taken from somewhere in the case data.
    const std::uint64_t piecesInCases = fCases.size() / kPlainPiece;
    const std::uint64_t total = fPlainBytes;
    const std::string veldFile = path("plain.veld"), refFile = path("plain.ref");
    auto pieceAt = [&](std::uint64_t at) { return fCases.data() + (at / kPlainPiece % piecesInCases) * kPlainPiece; };
    const Pair w = alternate(
        [&] {
            VELD_FileStream out;
            openStream(out, veldFile, "wb");
            for (std::uint64_t at = 0; at < total; at += kPlainPiece)
                writeAll(out, pieceAt(at), kPlainPiece, veldFile);
            out.Close();
        },
        [&] {
            SysFile out(refFile, 'w');
            for (std::uint64_t at = 0; at < total; at += kPlainPiece) out.write(pieceAt(at), kPlainPiece);
        },
        outputsRemoved(veldFile, refFile));
    addRate("plain stream write, 64 KiB pieces", "write() loop, 64 KiB pieces", total, w);

    Bytes piece(kPlainPiece);
    const Pair r = alternate(
        [&] {
            VELD_FileStream in;
            openStream(in, veldFile, "rb");
            std::uint64_t got = 0;
            while (const std::uint64_t n = in.Read(piece.data(), kPlainPiece)) got += n;
            check(got == total, "the plain stream read back " + std::to_string(got) + " bytes");
        },
        [&] {
            SysFile in(refFile, 'r');
            while (in.read(piece.data(), kPlainPiece)) {
            }
        });
    addRate("plain stream read, 64 KiB pieces", "read() loop, 64 KiB pieces", total, r);
}

void Bench::writeCompressed(const std::string& file, int threads, bool makeRecords) {
    VELD_FileStream out;
    openStream(out, file, "wb");
    writeAll(out, fDict.data(), fDict.size(), file);
    const auto row0 = static_cast<std::int64_t>(fDict.size());
    zcmpsFilestr z(out);
    if (threads) z.setMultiThread(threads);
    z.setRow0Pos(row0);
    z.Seek(row0, VELD_StrBaseIO::FromStart);
    Bytes piece(kCasePiece);
    for (std::uint64_t at = 0; at < fCases.size();) {
        std::uint64_t n;
        if (makeRecords) {
            n = makePiece(at, piece.data());
            z.Write(piece.data(), n);
        } else {
            n = std::min<std::uint64_t>(kCasePiece, fCases.size() - at);
            z.Write(fCases.data() + at, n);
        }
        at += n;
    }
    z.Close();
}

void Bench::writeReference(const std::string& file, bool makeRecords, veld::BlockEngineCodec* engine) {
    SysFile out(file, 'w');
    out.write(fDict.data(), fDict.size());
    out.write("heading-placeholder-24by", 24);
    Bytes payload(std::max<std::uint64_t>(compressBound(kBlockSize), engine ? engine->bound(kBlockSize) : 0)),
        block(kBlockSize), piece(kCasePiece);
    auto store = [&](const unsigned char* src, std::uint64_t n) {
        if (engine) {
            out.write(payload.data(), engine->compress(src, n, payload.data(), payload.size()));
            return;
        }
        uLongf len = static_cast<uLongf>(payload.size());
        check(compress2(payload.data(), &len, src, static_cast<uLong>(n), 1) == Z_OK, "zlib refused a block");
        out.write(payload.data(), len);
    };
    if (!makeRecords) {
        for (std::uint64_t at = 0; at < fCases.size(); at += kBlockSize)
            store(fCases.data() + at, std::min<std::uint64_t>(kBlockSize, fCases.size() - at));
        return;
    }
    // The caller makes pieces and gathers them into blocks, as the stream does.
    std::uint64_t filled = 0;
    for (std::uint64_t at = 0; at < fCases.size();) {
        const std::uint64_t n = makePiece(at, piece.data());
        at += n;
        for (std::uint64_t used = 0; used < n;) {
            const std::uint64_t m = std::min<std::uint64_t>(n - used, kBlockSize - filled);
            std::memcpy(block.data() + filled, piece.data() + used, m);
            filled += m;
            used += m;
            if (filled == kBlockSize) {
                store(block.data(), filled);
                filled = 0;
            }
        }
    }
    if (filled) store(block.data(), filled);
}

void Bench::compressedWriteRows() {
    const std::string f0 = path("cases.s0.zdat"), f1 = path("cases.s1.zdat"), ref = path("cases.ref");
    const std::uint64_t n = fCases.size();
    const std::string plainRef = "zlib compress2 level 1 per block + write()";
    addRate("compressed write, setting 0", plainRef, n,
            alternate([&] { writeCompressed(f0, 0, false); }, [&] { writeReference(ref, false); },
                      outputsRemoved(f0, ref)));
    // The stream's own engine, called directly on the same blocks and written out.
    veld::BlockEngineCodec engine(veld::BlockEngine::Automatic, veld::BlockEngine::Automatic);
    addRate("compressed write, setting 0", "its engine per block + write()", n,
            alternate([&] { writeCompressed(f0, 0, false); }, [&] { writeReference(ref, false, &engine); },
                      outputsRemoved(f0, ref)));
    addRate("compressed write, setting 1 (worker)", plainRef, n,
            alternate([&] { writeCompressed(f1, 1, false); }, [&] { writeReference(ref, false); },
                      outputsRemoved(f1, ref)));
    const std::string workRef = "makes, analyses + zlib + write(), serial";
    addRate("caller makes, analyses + writes, setting 0", workRef, n,
            alternate([&] { writeCompressed(f0, 0, true); }, [&] { writeReference(ref, true); },
                      outputsRemoved(f0, ref)));
    addRate("caller makes, analyses + writes, setting 1", workRef, n,
            alternate([&] { writeCompressed(f1, 1, true); }, [&] { writeReference(ref, true); },
                      outputsRemoved(f1, ref)));
    check(std::filesystem::file_size(f0) == std::filesystem::file_size(f1),
          "settings 0 and 1 wrote files of different sizes");
}

void Bench::readCompressed(const std::string& file, int threads, bool checkRecords) {
    VELD_FileStream in;
    openStream(in, file, "rb");
    const auto row0 = static_cast<std::int64_t>(fDict.size());
    zcmpsFilestr z(in);
    if (threads) z.setMultiThread(threads);
    z.readFilePosInfo(row0, false);
    z.Seek(row0, VELD_StrBaseIO::FromStart);
    Bytes piece(kCasePiece);
    std::uint64_t at = 0;
    while (const std::uint64_t n = z.Read(piece.data(), piece.size())) {
        if (checkRecords) checkPiece(at, piece.data(), n);
        at += n;
    }
    z.Close();
    check(at == fCases.size(), "the compressed stream read back " + std::to_string(at) + " bytes");
}

void Bench::readReference(const std::string& file, bool checkRecords) {
    SysFile in(file, 'r');
    Bytes payload(static_cast<std::size_t>(veld::layout::kMaxPayloadSize)), block(kBlockSize), piece(kCasePiece);
    std::uint64_t at = 0;
    for (const blockInfo& b : fLayout.blocks) {
        in.seek(b.translatePos);
        in.read(payload.data(), static_cast<std::uint64_t>(b.translateSize));
        uLongf len = kBlockSize;
        check(uncompress(block.data(), &len, payload.data(), static_cast<uLong>(b.translateSize)) == Z_OK,
              "zlib refused a block");
        // The application takes the block in pieces, as from the stream.
        for (std::uint64_t used = 0; used < len; used += kCasePiece) {
            const std::uint64_t m = std::min<std::uint64_t>(kCasePiece, len - used);
            std::memcpy(piece.data(), block.data() + used, m);
            if (checkRecords) checkPiece(at, piece.data(), m);
            at += m;
        }
    }
}

void Bench::compressedReadRows() {
    const std::string f0 = path("cases.s0.zdat");
    {
        RawReader raw(f0);
        fLayout = requireSoundLayout(raw, static_cast<std::int64_t>(fDict.size()), false);
    }
    const std::uint64_t n = fCases.size();
    const std::string plainRef = "read() + zlib uncompress per block";
    addRate("compressed read, setting 0", plainRef, n,
            alternate([&] { readCompressed(f0, 0, false); }, [&] { readReference(f0, false); }));
    addRate("compressed read, setting 2 (read-ahead)", plainRef, n,
            alternate([&] { readCompressed(f0, 2, false); }, [&] { readReference(f0, false); }));
    const std::string workRef = "read() + uncompress + checks + analyses";
    addRate("read, caller checks + analyses, setting 0", workRef, n,
            alternate([&] { readCompressed(f0, 0, true); }, [&] { readReference(f0, true); }));
    addRate("read, caller checks + analyses, setting 2", workRef, n,
            alternate([&] { readCompressed(f0, 2, true); }, [&] { readReference(f0, true); }));
}

void Bench::randomReadRows() {
    const std::string f0 = path("cases.s0.zdat");
    const auto row0 = static_cast<std::int64_t>(fDict.size());
    const std::uint64_t caseBytes = fCases.size();
    constexpr std::uint64_t kRead = 1024;
    // Compressed: nearly every read lands in another block, which is read and inflated whole.
    const int count = 80;
    std::vector<std::uint64_t> positions(static_cast<std::size_t>(count));
    std::mt19937_64 rng(7);
    for (auto& p : positions) p = rng() % (caseBytes - kRead);
    Bytes buf(kRead);
    // Reads at these positions through a stream with the additions for random access on or off.
    auto readsAt = [&](const std::vector<std::uint64_t>& at, bool earlyStop, int cache) {
        VELD_FileStream in;
        openStream(in, f0, "rb");
        zcmpsFilestr z(in);
        z.setEarlyStop(earlyStop);
        z.setBlockCache(cache);
        z.readFilePosInfo(row0, false);
        for (std::uint64_t p : at) {
            z.Seek(row0 + static_cast<std::int64_t>(p), VELD_StrBaseIO::FromStart);
            const std::uint64_t got = z.Read(buf.data(), kRead);
            check(got == kRead && std::memcmp(buf.data(), fCases.data() + p, kRead) == 0,
                  "a random read differs at case offset " + std::to_string(p));
        }
    };
    const Pair compressed = alternate([&] {
        VELD_FileStream in;
        openStream(in, f0, "rb");
        zcmpsFilestr z(in);
        z.readFilePosInfo(row0, false);
        for (std::uint64_t p : positions) {
            z.Seek(row0 + static_cast<std::int64_t>(p), VELD_StrBaseIO::FromStart);
            const std::uint64_t got = z.Read(buf.data(), kRead);
            check(got == kRead && std::memcmp(buf.data(), fCases.data() + p, kRead) == 0,
                  "a random read differs at case offset " + std::to_string(p));
        }
        z.Close();
    }, [&] {
        SysFile in(f0, 'r');
        Bytes payload(static_cast<std::size_t>(veld::layout::kMaxPayloadSize)), block(kBlockSize);
        int cached = -1;
        for (std::uint64_t p : positions) {
            const std::int64_t pos = row0 + static_cast<std::int64_t>(p);
            auto it = std::upper_bound(fLayout.blocks.begin(), fLayout.blocks.end(), pos,
                                       [](std::int64_t v, const blockInfo& b) { return v < b.orginalPos; });
            const int k = static_cast<int>(it - fLayout.blocks.begin()) - 1;
            const blockInfo& b = fLayout.blocks[k];
            if (k != cached) {
                in.seek(b.translatePos);
                in.read(payload.data(), static_cast<std::uint64_t>(b.translateSize));
                uLongf len = kBlockSize;
                uncompress(block.data(), &len, payload.data(), static_cast<uLong>(b.translateSize));
                cached = k;
            }
            std::memcpy(buf.data(), block.data() + (pos - b.orginalPos), kRead);
        }
    });
    add("random 1 KiB reads, compressed stream", count / compressed.veld, "read() + uncompress of the block, 1 cached",
        count / compressed.ref, "reads/s");
    const Pair early = alternate([&] { readsAt(positions, true, 8); }, [&] { readsAt(positions, false, 0); });
    add("random 1 KiB reads, early stop + cache of 8", count / early.veld, "the same without them", count / early.ref,
        "reads/s");
    // Nearby: each read within 64 KiB after the last, in runs through one block.
    std::vector<std::uint64_t> nearby(2000);
    std::uint64_t near = rng() % (caseBytes / 2);
    for (auto& p : nearby) {
        near = (near + rng() % (64 << 10)) % (caseBytes - kRead);
        p = near;
    }
    const Pair close = alternate([&] { readsAt(nearby, true, 8); }, [&] { readsAt(nearby, false, 0); });
    add("nearby 1 KiB reads (<= 64 KiB on), early stop + cache", nearby.size() / close.veld, "the same without them",
        nearby.size() / close.ref, "reads/s");
    // Borrowed blocks: the whole case data lent block by block, at 1 and 2 workers.
    for (const int workers : {0, 2}) {
        const Pair lent = alternate(
            [&] {
                VELD_FileStream in;
                openStream(in, f0, "rb");
                zcmpsFilestr z(in);
                z.setWorkers(workers);
                z.readFilePosInfo(row0, false);
                std::uint64_t length = 0, at = 0;
                while (z.borrowBlock(row0 + static_cast<std::int64_t>(at), length)) at += length;
                z.Close();
                check(at == caseBytes, "borrowed blocks hold " + std::to_string(at) + " bytes");
            },
            [&] { readReference(f0, false); });
        addRate(std::string("borrowed-block read, ") + (workers ? "2 workers" : "setting 0"),
                "read() + zlib uncompress per block", caseBytes, lent);
    }

    // Plain: every read refills the 4 MiB window; the reference reads 1 KiB.
    const std::string plain = path("plain.veld");
    const std::uint64_t plainSize = std::filesystem::file_size(plain);
    const int plainCount = 1000;
    std::vector<std::uint64_t> plainPositions(plainCount);
    for (auto& p : plainPositions) p = rng() % (plainSize - kRead);
    const Pair plainReads = alternate(
        [&] {
            VELD_FileStream in;
            openStream(in, plain, "rb");
            for (std::uint64_t p : plainPositions) {
                in.Seek(static_cast<std::int64_t>(p), VELD_StrBaseIO::FromStart);
                in.Read(buf.data(), kRead);
            }
        },
        [&] {
            SysFile in(plain, 'r');
            for (std::uint64_t p : plainPositions) {
                in.seek(static_cast<std::int64_t>(p));
                in.read(buf.data(), kRead);
            }
        });
    add("random 1 KiB reads, plain stream", plainCount / plainReads.veld, "lseek() + read() of 1 KiB",
        plainCount / plainReads.ref, "reads/s");
}

int Bench::run() {
    std::filesystem::create_directories(fOptions.dir);
    fDict = sampleDictionary();
    const std::uint64_t records = recordsFor(static_cast<std::uint64_t>(fOptions.sizeMiB) << 20);
    fCases.resize(records * sampleRecordSize());
    sampleRecords(0, records, fCases.data());
    fPlainBytes = 4 * (fCases.size() / kPlainPiece) * kPlainPiece;
    if (fCases.size() < kPlainPiece) throw CliError(kExitUsage, "", "--size is too small");
    if (!fOptions.json) {
        std::printf("veld bench: %s of survey case data for the compressed rows, %s for the plain rows;\n"
                    "veld and reference alternate, best of %d to %d rounds each; files in %s (page cache, not synced)\n\n",
                    humanBytes(static_cast<double>(fCases.size())).c_str(),
                    humanBytes(static_cast<double>(fPlainBytes)).c_str(), kRuns, kMaxRuns, fOptions.dir.c_str());
        std::printf("  %-44s %14s   %-44s %14s  %5s\n", "veld", "", "reference", "", "ratio");
    }
    plainRows();
    compressedWriteRows();
    compressedReadRows();
    randomReadRows();
    engineRows();
    peerRows();
    levelRows();
    sizeRows();
    if (!fOptions.json)
        std::printf("\nratio: veld's figure over the reference's (above 1 is faster); time against a peer = 1 / ratio.\n"
                    "Size rows (MB): below 1 is smaller. Engines: %s compresses, %s inflates.\n",
                    veld::blockEngineName(veld::compressEngine()), veld::blockEngineName(veld::decompressEngine()));

    if (fOptions.json) {
        std::printf("{\n  \"case_bytes\": %llu,\n  \"plain_bytes\": %llu,\n  \"runs\": %d,\n  \"rows\": [",
                    static_cast<unsigned long long>(fCases.size()),
                    static_cast<unsigned long long>(fPlainBytes), kRuns);
        for (std::size_t i = 0; i < fRows.size(); ++i) {
            const BenchRow& r = fRows[i];
            const int digits = isSize(r.unit) ? 6 : 4;  // sizes to the byte; slow rates keep their ratio
            std::printf("%s\n    {\"what\": \"%s\", \"veld\": %.*f, \"reference\": \"%s\", \"reference_value\": %.*f, "
                        "\"unit\": \"%s\", \"ratio\": %.5f}",
                        i ? "," : "", r.what.c_str(), digits, r.veld, r.reference.c_str(), digits, r.ref,
                        r.unit.c_str(), r.ref > 0 ? r.veld / r.ref : 0.0);
        }
        std::printf("\n  ],\n  \"checks\": \"%s\"\n}\n", fFailure.empty() ? "ok" : "failed");
    }
    if (!fFailure.empty()) throw CliError(kExitDamaged, fOptions.dir, "bench: " + fFailure);
    return kExitOk;
}

}  // namespace

void Bench::engineRows() {
    // Each engine called directly on the same blocks, against zlib.
    const std::uint64_t n = fCases.size();
    const std::uint64_t blocks = (n + kBlockSize - 1) / kBlockSize;
    auto zlibCodec = std::make_unique<veld::BlockEngineCodec>(veld::BlockEngine::Zlib, veld::BlockEngine::Zlib);
    std::vector<Bytes> payloads(blocks);
    std::vector<std::uint64_t> lengths(blocks);
    auto compressAll = [&](veld::BlockEngineCodec& c) {
        std::uint64_t total = 0;
        for (std::uint64_t b = 0; b < blocks; ++b) {
            const std::uint64_t len = std::min<std::uint64_t>(kBlockSize, n - b * kBlockSize);
            // Room allocated once: zero-filling it again would be timed with the engine.
            if (payloads[b].size() < c.bound(kBlockSize)) payloads[b].resize(c.bound(kBlockSize));
            lengths[b] = c.compress(fCases.data() + b * kBlockSize, len, payloads[b].data(), payloads[b].size());
            total += lengths[b];
        }
        return total;
    };
    Bytes block(kBlockSize);
    auto inflateAll = [&](veld::BlockEngineCodec& c) {
        for (std::uint64_t b = 0; b < blocks; ++b) {
            const std::uint64_t len = std::min<std::uint64_t>(kBlockSize, n - b * kBlockSize);
            check(c.inflate(payloads[b].data(), lengths[b], block.data(), block.size(), len),
                  "an engine refused a block");
        }
    };
    std::uint64_t zlibBytes = 0;
    for (auto e : {veld::BlockEngine::Zlib, veld::BlockEngine::Libdeflate, veld::BlockEngine::Isal}) {
        if (!veld::blockEngineAvailable(e)) {
            if (!fOptions.json) std::printf("  (engine %s is not in this build)\n", veld::blockEngineName(e));
            continue;
        }
        auto c = std::make_unique<veld::BlockEngineCodec>(e, e);
        std::uint64_t bytes = 0;
        const std::string name = std::string("engine ") + veld::blockEngineName(e);
        addRate(name + " compress, direct", "zlib level 1, direct", n,
                alternate([&] { bytes = compressAll(*c); }, [&] { zlibBytes = compressAll(*zlibCodec); }));
        add(name + " payload bytes", bytes / 1e6, "zlib level 1 payload bytes", zlibBytes / 1e6, "MB");
        // Both sides inflate the same zlib payloads: the zlib side ran last above.
        addRate(name + " inflate, direct", "zlib inflate, direct", n,
                alternate([&] { inflateAll(*c); }, [&] { inflateAll(*zlibCodec); }));
    }
}

void Bench::peerRows() {
    // The same file packed and unpacked by veld and by the peers, file to file.
    const std::string input = path("peer.dat"), packed = path("peer.zdat"), out = path("peer.out");
    {
        SysFile f(input, 'w');
        f.write(fDict.data(), fDict.size());
        f.write(fCases.data(), fCases.size());
    }
    const std::uint64_t n = fDict.size() + fCases.size();
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    auto have = [](const char* tool) {
        return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
    };
    auto shell = [&](const std::string& cmd) {
        check(std::system(cmd.c_str()) == 0, "'" + cmd + "' failed");
    };
    struct Peer {
        const char* tool;
        std::string pack, unpack;  // %J: jobs
        std::string file;
    };
    const std::string q = "'", in = q + input + q, o = q + out + q;
    const Peer peers[] = {
        {"bgzip", "bgzip -l 1 -@ %J -c " + in + " > '" + path("peer.gz") + "'",
         "bgzip -d -@ %J -c '" + path("peer.gz") + "' > " + o, "peer.gz"},
        {"pigz", "pigz -1 -p %J -c " + in + " > '" + path("peer.gz") + "'",
         "pigz -d -p %J -c '" + path("peer.gz") + "' > " + o, "peer.gz"},
        {"zstd", "zstd -q -f -1 -T%J -c " + in + " > '" + path("peer.zst") + "'",
         "zstd -q -d -f -c '" + path("peer.zst") + "' > " + o, "peer.zst"},
    };
    auto withJobs = [](std::string cmd, int jobs) {
        for (std::size_t at; (at = cmd.find("%J")) != std::string::npos;) cmd.replace(at, 2, std::to_string(jobs));
        return cmd;
    };
    const auto row0 = static_cast<std::int64_t>(fDict.size());
    for (int jobs : {1, cores}) {
        if (jobs == cores && cores == 1) break;
        PackOptions po;
        po.input = input;
        po.output = packed;
        po.row0 = row0;
        po.jobs = jobs;
        const std::string j = std::to_string(jobs) + (jobs == 1 ? " job" : " jobs");
        for (const Peer& p : peers) {
            if (!have(p.tool)) {
                if (!fOptions.json) std::printf("  (%s is not installed: its rows are skipped)\n", p.tool);
                continue;
            }
            const std::string pc = withJobs(p.pack, jobs), uc = withJobs(p.unpack, jobs);
            const std::string packName = pc.substr(0, pc.find(" -c"));
            addRate("veld pack, " + j, packName, n,
                    alternate([&] { packFile(po, nullptr); }, [&] { shell(pc); },
                              outputsRemoved(packed, path(p.file))));
            // Output is the same at every job count; bgzip and pigz share a name, so it is taken now.
            if (jobs == 1)
                fPeerSizes.push_back({packName + ", whole file", std::filesystem::file_size(path(p.file))});
            addRate("veld unpack, " + j, uc.substr(0, uc.find(" -c")), n,
                    alternate([&] { unpackFile(packed, out, row0, false, 0, nullptr, jobs); }, [&] { shell(uc); },
                              outputsRemoved(out, out)));
        }
    }
}

void Bench::levelRows() {
    // Each level beside the peers at the same number, all cores on both sides:
    // the speed of packing, then the size of the file it made.
    const std::string input = path("peer.dat"), packed = path("level.zdat");
    const std::uint64_t n = fDict.size() + fCases.size();
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const std::string c = std::to_string(cores);
    auto have = [](const char* tool) {
        return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
    };
    PackOptions po;
    po.input = input;
    po.output = packed;
    po.row0 = static_cast<std::int64_t>(fDict.size());
    po.jobs = cores;
    for (const int level : {1, 3, 6, 9}) {
        if (level > veld::maxBlockLevel()) break;
        po.level = level;
        const std::string l = std::to_string(level);
        const struct {
            const char* tool;
            std::string command, file;
        } peers[] = {
            {"bgzip", "bgzip -l " + l + " -@ " + c + " -c '" + input + "' > '" + path("peer.gz") + "'", "peer.gz"},
            {"pigz", "pigz -" + l + " -p " + c + " -c '" + input + "' > '" + path("peer.gz") + "'", "peer.gz"},
            {"zstd", "zstd -q -f -" + l + " -T" + c + " -c '" + input + "' > '" + path("peer.zst") + "'", "peer.zst"},
        };
        const std::string what = "veld pack --level " + l + ", " + c + (cores == 1 ? " job" : " jobs");
        for (const auto& p : peers) {
            if (!have(p.tool)) continue;
            const std::string name = p.command.substr(0, p.command.find(" -c"));
            addRate(what, name, n,
                    alternate([&] { packFile(po, nullptr); },
                              [&] { check(std::system(p.command.c_str()) == 0, "'" + p.command + "' failed"); },
                              outputsRemoved(packed, path(p.file))));
            add(what + ", file size", static_cast<double>(std::filesystem::file_size(packed)) / 1e6, name + ", file size",
                static_cast<double>(std::filesystem::file_size(path(p.file))) / 1e6, "MB");
        }
    }
    // Later packs go back to the default level.
    veld::setBlockLevel(1);
}

void Bench::sizeRows() {
    // The case part veld writes (heading, payloads, position table) against
    // the bare payloads of zlib level 1 on the same blocks.
    std::uint64_t zlibBytes = 0;
    Bytes payload(compressBound(kBlockSize));
    for (std::uint64_t at = 0; at < fCases.size(); at += kBlockSize) {
        uLongf len = static_cast<uLongf>(payload.size());
        const auto m = static_cast<uLong>(std::min<std::uint64_t>(kBlockSize, fCases.size() - at));
        check(compress2(payload.data(), &len, fCases.data() + at, m, 1) == Z_OK, "zlib refused a block");
        zlibBytes += len;
    }
    const double caseBytes = static_cast<double>(std::filesystem::file_size(path("cases.s0.zdat")) - fDict.size());
    add("veld case part: heading + payloads + table", caseBytes / 1e6, "zlib level 1 on the same blocks, payloads",
        zlibBytes / 1e6, "MB");
    // Whole files from the same input; veld keeps the dictionary part as it is.
    const double packed = static_cast<double>(std::filesystem::file_size(path("peer.zdat")));
    for (const auto& [name, bytes] : fPeerSizes) add("veld pack, whole file", packed / 1e6, name, bytes / 1e6, "MB");
}

int runBench(const BenchOptions& o) { return Bench(o).run(); }

}  // namespace veldcli
