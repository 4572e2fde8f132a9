// demo: the library's main job on built-in survey data. Generates an
// uncompressed data file, packs it with and without the compress-and-write
// worker and with early flushes, reads it back with and without read-ahead,
// makes random reads, appends, verifies, and prints what each step did.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "VELD_FileStream.h"
#include "cli_support.h"
#include "commands.h"
#include "layout_inspector.h"
#include "sample_data.h"
#include "stream_io.h"
#include "zcmpsFilestr.h"

namespace veldcli {

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void writeFile(const std::string& path, const unsigned char* bytes, std::uint64_t n) {
    VELD_FileStream out;
    openStream(out, path, "wb");
    for (std::uint64_t at = 0; at < n; at += VELD_BLOCK_SIZE)
        writeAll(out, bytes + at, std::min<std::uint64_t>(VELD_BLOCK_SIZE, n - at), path);
    out.Close();
}

// Where the file first differs from `expected`, or -1 when it holds exactly those bytes.
std::int64_t firstDifference(const std::string& path, const Bytes& expected) {
    VELD_FileStream in;
    openStream(in, path, "rb");
    PieceBuffer piece;
    std::uint64_t at = 0;
    for (;;) {
        const std::uint64_t n = in.Read(piece.data(), piece.size());
        if (n == 0) break;
        if (at + n > expected.size()) return static_cast<std::int64_t>(expected.size());
        if (std::memcmp(piece.data(), expected.data() + at, n) != 0) {
            std::uint64_t i = 0;
            while (piece.data()[i] == expected[at + i]) ++i;
            return static_cast<std::int64_t>(at + i);
        }
        at += n;
    }
    return at == expected.size() ? -1 : static_cast<std::int64_t>(at);
}

struct Row {
    std::string step, setting;
    std::uint64_t in = 0, out = 0;
    double ratio = 0; // uncompressed to compressed size, 0 where it means nothing
    double rate = 0;  // MiB/s, or operations/s when rateUnit says so
    std::string rateUnit = "MiB/s";
    bool ok = false;
    std::string note;
};

class Demo {
public:
    explicit Demo(std::string dir) : fDir(std::move(dir)) {}

    int run();

private:
    std::string path(const std::string& name) const { return (std::filesystem::path(fDir) / name).string(); }
    void record(Row row) {
        fAllOk = fAllOk && row.ok;
        fRows.push_back(std::move(row));
    }
    // Runs one step; a raised error becomes a failed row instead of ending the demo.
    void step(const std::string& name, const std::string& setting, const std::function<Row()>& body);

    Row pack(const std::string& out, int threads, std::uint64_t flushEvery);
    Row unpack(const std::string& in, int threads, const Bytes& expected, const std::string& outName);
    Row randomReads(const std::string& file, int count);
    Row append(const std::string& base, const std::string& copy);
    Row verify(const std::vector<std::string>& files);
    void print() const;

    std::string fDir;
    Bytes fOriginal;
    Bytes fExtra;
    std::int64_t fRow0 = 0;
    std::vector<Row> fRows;
    bool fAllOk = true;
};

void Demo::step(const std::string& name, const std::string& setting, const std::function<Row()>& body) {
    Row row;
    try {
        row = body();
    } catch (...) {
        row.ok = false;
        row.note = describeCurrentException();
    }
    row.step = name;
    row.setting = setting;
    record(std::move(row));
}

Row Demo::pack(const std::string& out, int threads, std::uint64_t flushEvery) {
    PackOptions o;
    o.input = path("survey.dat");
    o.output = out;
    o.row0 = fRow0;
    o.threads = threads;
    o.flushEvery = flushEvery;
    const auto start = Clock::now();
    const Transfer t = packFile(o, nullptr);
    const double s = secondsSince(start);
    Row r;
    r.in = fOriginal.size();
    r.out = static_cast<std::uint64_t>(t.fileSize);
    r.rate = t.caseBytes / s / (1 << 20);
    r.ratio = static_cast<double>(r.in) / r.out;
    r.ok = t.caseBytes == fOriginal.size() - static_cast<std::uint64_t>(fRow0);
    return r;
}

Row Demo::unpack(const std::string& in, int threads, const Bytes& expected, const std::string& outName) {
    const std::string out = path(outName);
    const auto start = Clock::now();
    const Transfer t = unpackFile(in, out, fRow0, false, threads, nullptr);
    const double s = secondsSince(start);
    Row r;
    r.in = std::filesystem::file_size(in);
    r.out = static_cast<std::uint64_t>(t.fileSize);
    r.rate = t.caseBytes / s / (1 << 20);
    r.ratio = static_cast<double>(r.out) / r.in;
    const std::int64_t diff = firstDifference(out, expected);
    r.ok = diff < 0;
    r.note = r.ok ? "same bytes as the original" : "differs from the original at " + std::to_string(diff);
    return r;
}

Row Demo::randomReads(const std::string& file, int count) {
    std::mt19937_64 rng(20240611);
    VELD_FileStream plain;
    openStream(plain, file, "rb");
    VELD_FileStream source;
    openStream(source, file, "rb");
    zcmpsFilestr z(source);
    z.readFilePosInfo(fRow0, false);
    const std::uint64_t end = fOriginal.size();
    Bytes buf(64 * 1024);
    std::uint64_t bytes = 0;
    int mismatches = 0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        // One read in twenty starts in the dictionary part and may run into the case data.
        const std::uint64_t at = i % 20 == 0 ? rng() % static_cast<std::uint64_t>(fRow0) : rng() % end;
        const std::uint64_t len = std::min<std::uint64_t>(1 + rng() % buf.size(), end - at);
        std::uint64_t got = 0;
        if (at < static_cast<std::uint64_t>(fRow0)) {
            plain.Seek(static_cast<std::int64_t>(at), VELD_StrBaseIO::FromStart);
            got = plain.Read(buf.data(), std::min<std::uint64_t>(len, fRow0 - at));
        }
        if (got < len) {
            z.Seek(static_cast<std::int64_t>(at + got), VELD_StrBaseIO::FromStart);
            got += z.Read(buf.data() + got, len - got);
        }
        bytes += got;
        if (got != len || std::memcmp(buf.data(), fOriginal.data() + at, len) != 0) ++mismatches;
    }
    const double s = secondsSince(start);
    z.Close();
    Row r;
    r.in = std::filesystem::file_size(file);
    r.out = bytes;
    r.rate = count / s;
    r.rateUnit = "reads/s";
    r.ok = mismatches == 0;
    r.note = std::to_string(count) + " reads of 1 B to 64 KiB" +
             (r.ok ? ", all matched" : ", " + std::to_string(mismatches) + " MISMATCHED");
    return r;
}

Row Demo::append(const std::string& base, const std::string& copy) {
    std::filesystem::copy_file(base, copy, std::filesystem::copy_options::overwrite_existing);
    const std::string more = path("more-records.bin");
    writeFile(more, fExtra.data(), fExtra.size());
    const auto start = Clock::now();
    const Transfer t = appendFile(copy, more, fRow0, false);
    const double s = secondsSince(start);
    Bytes expected = fOriginal;
    expected.insert(expected.end(), fExtra.begin(), fExtra.end());
    // The appended file must read back as the original followed by the new records.
    const Transfer back = unpackFile(copy, path("survey-appended.back.dat"), fRow0, false, 0, nullptr);
    const std::int64_t diff = firstDifference(path("survey-appended.back.dat"), expected);
    Row r;
    r.in = fExtra.size();
    r.out = static_cast<std::uint64_t>(t.fileSize);
    r.rate = t.caseBytes / s / (1 << 20);
    r.ok = diff < 0 && back.caseBytes == expected.size() - static_cast<std::uint64_t>(fRow0);
    r.note = r.ok ? "reads back as original + new records" : "differs at " + std::to_string(diff);
    return r;
}

Row Demo::verify(const std::vector<std::string>& files) {
    Row r;
    r.ok = true;
    std::uint64_t caseBytes = 0;
    const auto start = Clock::now();
    for (const std::string& f : files) {
        RawReader raw(f);
        Layout L = inspectLayout(raw, fRow0, false);
        checkPayloads(L, raw, 2, nullptr);
        r.in += static_cast<std::uint64_t>(L.fileSize);
        caseBytes += L.caseBytes;
        if (!L.problems.empty()) {
            r.ok = false;
            r.note = f + ": " + L.problems.front().text;
        }
    }
    r.out = caseBytes;
    r.rate = caseBytes / secondsSince(start) / (1 << 20);
    if (r.ok) r.note = std::to_string(files.size()) + " files, every block inflates to its size";
    return r;
}

void Demo::print() const {
    std::printf("\n  %-30s %-7s %14s %14s %6s %10s  %s\n", "step", "setting", "bytes in", "bytes out", "ratio",
                "speed", "result");
    for (const Row& r : fRows) {
        char ratio[16] = "";
        if (r.ratio > 0) std::snprintf(ratio, sizeof ratio, "%.2f", r.ratio);
        char speed[32];
        std::snprintf(speed, sizeof speed, "%.0f %s", r.rate, r.rateUnit.c_str());
        std::printf("  %-30s %-7s %14s %14s %6s %10s  %s%s%s\n", r.step.c_str(), r.setting.c_str(),
                    groupDigits(r.in).c_str(), groupDigits(r.out).c_str(), ratio, speed, r.ok ? "ok" : "FAILED",
                    r.note.empty() ? "" : ": ", r.note.c_str());
    }
}

int Demo::run() {
    std::filesystem::create_directories(fDir);
    const auto start = Clock::now();
    const std::string dict = sampleDictionary();
    fRow0 = static_cast<std::int64_t>(dict.size());
    // About 10.5 blocks of case data, so that the last block is short.
    const std::uint64_t records = recordsFor(44u << 20);
    const std::size_t rs = sampleRecordSize();
    fOriginal.resize(dict.size() + records * rs);
    std::memcpy(fOriginal.data(), dict.data(), dict.size());
    sampleRecords(0, records, fOriginal.data() + dict.size());
    const std::uint64_t extraRecords = recordsFor(3u << 20) + 7;
    fExtra.resize(extraRecords * rs);
    sampleRecords(records, extraRecords, fExtra.data());

    std::printf("veld demo: survey data in %s\n", fDir.c_str());
    std::printf("  dictionary part %s bytes; %s case records of %zu bytes = %s bytes of case data\n",
                groupDigits(dict.size()).c_str(), groupDigits(records).c_str(), rs,
                groupDigits(records * rs).c_str());
    writeFile(path("survey.dat"), fOriginal.data(), fOriginal.size());

    const std::string s0 = path("survey.zdat"), s1 = path("survey-t1.zdat"), fl = path("survey-flushed.zdat");
    step("pack", "0", [&] { return pack(s0, 0, 0); });
    step("pack, worker compresses", "1", [&] {
        Row r = pack(s1, 1, 0);
        // Both settings must store the same blocks, byte for byte.
        std::int64_t diff = -1;
        {
            VELD_FileStream in;
            openStream(in, s0, "rb");
            Bytes whole(static_cast<std::size_t>(streamSize(in)));
            in.Read(whole.data(), whole.size());
            diff = firstDifference(s1, whole);
        }
        r.ok = r.ok && diff < 0;
        r.note = diff < 0 ? "same file as setting 0" : "differs from setting 0 at " + std::to_string(diff);
        return r;
    });
    step("pack, Flush every 10 MiB", "0", [&] { return pack(fl, 0, 10u << 20); });
    step("unpack", "0", [&] { return unpack(s0, 0, fOriginal, "survey.back0.dat"); });
    step("unpack, worker inflates ahead", "2", [&] { return unpack(s1, 2, fOriginal, "survey.back2.dat"); });
    step("unpack flushed file", "0", [&] { return unpack(fl, 0, fOriginal, "survey.backf.dat"); });
    step("random reads", "0", [&] { return randomReads(s0, 300); });
    step("append 3 MiB of records", "0", [&] { return append(s0, path("survey-appended.zdat")); });
    step("verify", "2", [&] { return verify({s0, s1, fl, path("survey-appended.zdat")}); });

    print();
    // The unpacked copies were only there to be compared.
    for (const char* name : {"survey.back0.dat", "survey.back2.dat", "survey.backf.dat", "survey-appended.back.dat"}) {
        std::error_code ignored;
        std::filesystem::remove(path(name), ignored);
    }
    std::printf("\n%s in %.1f s\n", fAllOk ? "every round trip matched" : "a round trip FAILED",
                secondsSince(start));
    return fAllOk ? kExitOk : kExitDamaged;
}

}  // namespace

int runDemo(const DemoOptions& o) { return Demo(o.dir).run(); }

}  // namespace veldcli
