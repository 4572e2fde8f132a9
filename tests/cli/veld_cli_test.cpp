// End-to-end tests of the veld program: the built executable runs on real
// files in a temporary directory; the files it writes are decoded here
// independently, byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestFiles.h"
#include "json_mini.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::int64_t kBlock = 4190208;
constexpr std::int64_t kRow0 = 1000;

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string programPath() {
    std::string p = VELD_PROGRAM;
#ifdef _WIN32
    // Under Wine the build tree's Unix path is reached through drive Z:.
    if (!p.empty() && p[0] == '/') {
        p = "Z:" + p;
        for (char& c : p)
            if (c == '/') c = '\\';
    }
#endif
    return p;
}

std::string quote(const std::string& s) { return "\"" + s + "\""; }

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::int64_t le64(const Bytes& b, std::int64_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(static_cast<std::size_t>(at + i));
    return static_cast<std::int64_t>(v);
}
std::int32_t le32(const Bytes& b, std::int64_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b.at(static_cast<std::size_t>(at + i));
    return static_cast<std::int32_t>(v);
}
void put64(Bytes& b, std::int64_t at, std::int64_t value) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i));
}
void put32(Bytes& b, std::int64_t at, std::int32_t value) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(static_cast<std::uint32_t>(value) >> (8 * i));
}

struct Record {
    std::int64_t orginalPos, translatePos;
    std::int32_t orginalSize, translateSize;
};

// The heading and table of a compressed data file, read straight from its bytes.
struct Decoded {
    std::int64_t row0 = 0, infoPos = 0, tableSize = 0;
    std::vector<Record> blocks;
    std::int64_t recordAt(std::size_t k) const { return infoPos + 24 * static_cast<std::int64_t>(k + 1); }
};

Decoded decode(const Bytes& f, std::int64_t row0) {
    Decoded d;
    d.row0 = le64(f, row0);
    d.infoPos = le64(f, row0 + 8);
    d.tableSize = le64(f, row0 + 16);
    EXPECT_EQ(d.row0, row0);
    EXPECT_EQ(le64(f, d.infoPos), -100);
    EXPECT_EQ(le32(f, d.infoPos + 16), kBlock);
    const std::int32_t count = le32(f, d.infoPos + 20);
    EXPECT_EQ(d.tableSize, 24 * (count + 1));
    for (std::int32_t k = 0; k < count; ++k) {
        const std::int64_t at = d.recordAt(static_cast<std::size_t>(k));
        d.blocks.push_back({le64(f, at), le64(f, at + 8), le32(f, at + 16), le32(f, at + 20)});
    }
    return d;
}

// The layout rules a finished file keeps, checked on the decoded table.
void expectContiguous(const Decoded& d, std::int64_t caseBytes) {
    std::int64_t pos = d.row0, off = d.row0 + 24;
    for (const Record& r : d.blocks) {
        EXPECT_EQ(r.orginalPos, pos);
        EXPECT_EQ(r.translatePos, off);
        EXPECT_GE(r.orginalSize, 1);
        EXPECT_LE(r.orginalSize, kBlock);
        pos += r.orginalSize;
        off += r.translateSize;
    }
    EXPECT_EQ(pos - d.row0, caseBytes);
    EXPECT_EQ(d.infoPos, off);
}

// A dictionary part of text, then fixed-width records that compress a few
// times over, as case data does.
Bytes dataFile(std::int64_t row0, std::int64_t caseBytes, std::uint32_t seed = 1) {
    Bytes b;
    b.reserve(static_cast<std::size_t>(row0 + caseBytes));
    const std::string line = "variable v" + std::to_string(seed) + " numeric 8 label \"an answer\"\n";
    while (static_cast<std::int64_t>(b.size()) < row0) b.push_back(static_cast<unsigned char>(line[b.size() % line.size()]));
    std::uint32_t x = seed * 2654435761u + 7;
    for (std::int64_t i = 0; i < caseBytes; ++i) {
        const std::int64_t field = i % 64;
        unsigned char c;
        if (field < 8) {
            c = static_cast<unsigned char>((i / 64) >> (8 * field));  // record number
        } else if (field < 40) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<unsigned char>(x % 5 == 0 ? x >> 8 : 0);  // sparse codes
        } else {
            c = static_cast<unsigned char>("Utrecht     F   "[field % 16]);
        }
        b.push_back(c);
    }
    return b;
}

Bytes slice(const Bytes& b, std::int64_t from, std::int64_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}

// "12,345,678", as the program's reports write numbers.
std::string grouped(std::int64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class VeldCli : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return dir.file(name); }
    std::string q(const std::string& name) const { return quote(file(name)); }

    Result veld(const std::string& args) {
        const std::string out = file("stdout.txt"), err = file("stderr.txt");
        std::string cmd = quote(programPath()) + " " + args + " > " + quote(out) + " 2> " + quote(err);
#ifdef _WIN32
        cmd = "\"" + cmd + "\"";  // cmd.exe strips one pair of outer quotes
        const int status = std::system(cmd.c_str());
#else
        const int raw = std::system(cmd.c_str());
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
        return {status, readText(out), readText(err)};
    }

    // Writes `input` as NAME.dat and packs it into NAME.zdat.
    Bytes pack(const std::string& name, const Bytes& input, const std::string& options = "") {
        veldtest::writeAll(file(name + ".dat"), input);
        const Result r = veld("pack " + q(name + ".dat") + " " + q(name + ".zdat") + " --row0 " +
                              std::to_string(kRow0) + " --quiet " + options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return veldtest::readAll(file(name + ".zdat"));
    }

    void expectDamaged(const Result& r, const std::string& mention) {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(mention), std::string::npos) << "stderr: " << r.err;
        EXPECT_EQ(r.err.rfind("veld: ", 0), 0u) << r.err;
    }

    veldtest::TempDir dir;
};

TEST_F(VeldCli, PackThenUnpackGivesTheInputForEverySizeOfCaseData) {
    struct Case {
        std::int64_t caseBytes;
        std::string options;
        std::int64_t blocks;
    };
    const std::int64_t several = 2 * kBlock + 600000;  // two full blocks and a partial one
    const Case cases[] = {
        {0, "", 0},
        {1000, "", 1},
        {kBlock, "", 1},
        {several, "", 3},
        {0, "--threads 1", 0},
        {kBlock, "--threads 1", 1},
        {several, "--threads 1", 3},
        {kBlock, "--flush-every 3000000", 2},
        {several, "--flush-every 3000000", 3},
        {several, "--flush-every 1000000 --threads 1", 9},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.caseBytes) + " bytes " + c.options);
        const std::string name = "in" + std::to_string(n++);
        const Bytes input = dataFile(kRow0, c.caseBytes, static_cast<std::uint32_t>(n));
        const Bytes packed = pack(name, input, c.options);
        // The dictionary part is stored as it is.
        ASSERT_GE(packed.size(), static_cast<std::size_t>(kRow0 + 48));
        EXPECT_TRUE(std::equal(input.begin(), input.begin() + kRow0, packed.begin()));
        const Decoded d = decode(packed, kRow0);
        EXPECT_EQ(static_cast<std::int64_t>(d.blocks.size()), c.blocks);
        expectContiguous(d, c.caseBytes);
        EXPECT_EQ(static_cast<std::int64_t>(packed.size()), d.infoPos + d.tableSize);

        const std::string threads = n % 2 ? "--threads 2" : "--threads 0";
        const Result r = veld("unpack " + q(name + ".zdat") + " " + q(name + ".back") + " --quiet " + threads);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(veldtest::readAll(file(name + ".back")) == input);
        EXPECT_EQ(veld("verify " + q(name + ".zdat") + " --quiet").status, 0);
    }
}

TEST_F(VeldCli, BlocksThatDoNotShrinkAreHalvedAndReadBack) {
    // Random bytes come out of deflate a little larger than they went in, so a
    // full block of them is stored as two blocks, each payload within the limit.
    Bytes input = dataFile(kRow0, 0);
    const Bytes noise = veldtest::patternBytes(static_cast<std::size_t>(kBlock + 5000), 9);
    input.insert(input.end(), noise.begin(), noise.end());
    const Bytes packed = pack("noise", input, "--threads 1");
    const Decoded d = decode(packed, kRow0);
    ASSERT_EQ(d.blocks.size(), 3u);
    for (const auto& b : d.blocks) EXPECT_LE(b.translateSize, kBlock);
    EXPECT_EQ(d.blocks[0].orginalSize, kBlock / 2);
    expectContiguous(d, kBlock + 5000);
    ASSERT_EQ(veld("unpack " + q("noise.zdat") + " " + q("noise.back")).status, 0);
    EXPECT_TRUE(veldtest::readAll(file("noise.back")) == input);
    EXPECT_EQ(veld("verify " + q("noise.zdat")).status, 0);
}

TEST_F(VeldCli, InfoJsonMatchesTheFile) {
    const Bytes input = dataFile(kRow0, 2 * kBlock + 777);
    const Bytes packed = pack("a", input, "--flush-every 4000000");
    const Decoded d = decode(packed, kRow0);
    ASSERT_EQ(d.blocks.size(), 3u);

    // Without --row0 the program finds P itself.
    const Result r = veld("info " + q("a.zdat") + " --json --blocks");
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonmini::Value v = jsonmini::parse(r.out);
    EXPECT_EQ(v["row0"].integer(), kRow0);
    EXPECT_EQ(v["table_offset"].integer(), d.infoPos);
    EXPECT_EQ(v["table_length"].integer(), d.tableSize);
    EXPECT_EQ(v["block_count"].integer(), 3);
    EXPECT_EQ(v["block_size"].integer(), kBlock);
    EXPECT_EQ(v["data_end"].integer(), static_cast<std::int64_t>(input.size()));
    EXPECT_EQ(v["case_bytes"].integer(), 2 * kBlock + 777);
    EXPECT_EQ(v["file_size"].integer(), static_cast<std::int64_t>(packed.size()));
    EXPECT_EQ(v["short_blocks"].integer(), 3);
    EXPECT_EQ(v["bytes_after_table"].integer(), 0);
    std::int64_t payload = 0;
    const auto& blocks = v["blocks"].items;
    ASSERT_EQ(blocks.size(), 3u);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        EXPECT_EQ(blocks[k]["orginalPos"].integer(), d.blocks[k].orginalPos);
        EXPECT_EQ(blocks[k]["translatePos"].integer(), d.blocks[k].translatePos);
        EXPECT_EQ(blocks[k]["orginalSize"].integer(), d.blocks[k].orginalSize);
        EXPECT_EQ(blocks[k]["translateSize"].integer(), d.blocks[k].translateSize);
        payload += d.blocks[k].translateSize;
    }
    EXPECT_EQ(v["payload_bytes"].integer(), payload);

    const Result plain = veld("info " + q("a.zdat") + " --json --row0 1000");
    ASSERT_EQ(plain.status, 0);
    EXPECT_FALSE(jsonmini::parse(plain.out).has("blocks"));

    const Result text = veld("info " + q("a.zdat") + " --blocks");
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("4,190,208"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(std::to_string(d.blocks[2].translatePos)), std::string::npos) << text.out;
}

TEST_F(VeldCli, CatWritesRangesAcrossBlockBoundariesAndTheDictionaryPart) {
    const std::int64_t caseBytes = 2 * kBlock + 12345;
    const Bytes input = dataFile(kRow0, caseBytes);
    pack("c", input);
    const std::int64_t end = static_cast<std::int64_t>(input.size());
    struct Range {
        std::int64_t offset, length;
        std::string extra;
    };
    const Range ranges[] = {
        {kRow0 + kBlock - 100, 300, ""},           // across the first block boundary
        {kRow0 - 50, 100, ""},                     // from the dictionary part into the case data
        {0, 10, ""},                               // inside the dictionary part
        {kRow0 + 10, 2 * kBlock, "--threads 2"},   // across two boundaries with read-ahead
        {end - 10, 10, ""},                        // the last bytes
    };
    for (const Range& r : ranges) {
        SCOPED_TRACE(std::to_string(r.offset) + "+" + std::to_string(r.length));
        const Result c = veld("cat " + q("c.zdat") + " --offset " + std::to_string(r.offset) + " --length " +
                              std::to_string(r.length) + " " + r.extra);
        ASSERT_EQ(c.status, 0) << c.err;
        EXPECT_TRUE(Bytes(c.out.begin(), c.out.end()) == slice(input, r.offset, r.length));
    }
    const Result whole = veld("cat " + q("c.zdat"));
    ASSERT_EQ(whole.status, 0);
    EXPECT_TRUE(Bytes(whole.out.begin(), whole.out.end()) == input);
    // A length past the end stops at the end; the end itself gives nothing.
    const Result tail = veld("cat " + q("c.zdat") + " --offset " + std::to_string(end - 5) + " --length 100");
    EXPECT_TRUE(Bytes(tail.out.begin(), tail.out.end()) == slice(input, end - 5, 5));
    const Result atEnd = veld("cat " + q("c.zdat") + " --offset " + std::to_string(end));
    EXPECT_EQ(atEnd.status, 0);
    EXPECT_EQ(atEnd.out, "");
    // Past the end is no malformed command line: the file is shorter than asked.
    const Result past = veld("cat " + q("c.zdat") + " --offset " + std::to_string(end + 1));
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.err.find("give 0 to " + std::to_string(end)), std::string::npos) << past.err;
}

TEST_F(VeldCli, AppendAddsToTheEndOfTheCaseData) {
    // In place, a short last block is rewritten where it lies with the new bytes after the old.
    const Bytes first = dataFile(kRow0, kBlock + 5000, 3);
    const Decoded before = decode(pack("s", first), kRow0);
    const Bytes more = slice(dataFile(0, 70000, 4), 0, 70000);
    veldtest::writeAll(file("more.bin"), more);
    Result r = veld("append " + q("s.zdat") + " " + q("more.bin") + " --in-place");
    ASSERT_EQ(r.status, 0) << r.err;
    const Decoded after = decode(veldtest::readAll(file("s.zdat")), kRow0);
    ASSERT_EQ(after.blocks.size(), 2u);
    EXPECT_EQ(after.blocks[1].translatePos, before.blocks[1].translatePos);
    EXPECT_EQ(after.blocks[1].orginalSize, 5000 + 70000);
    ASSERT_EQ(veld("unpack " + q("s.zdat") + " " + q("s.back")).status, 0);
    EXPECT_TRUE(veldtest::readAll(file("s.back")) == concat(first, more));

    // Safely (the default), nothing the old heading reaches is written: the
    // short block is copied after the old table with the new bytes.
    const Bytes old = pack("t", first);
    const std::int64_t oldEnd = before.infoPos + before.tableSize;
    ASSERT_EQ(veld("append " + q("t.zdat") + " " + q("more.bin")).status, 0);
    const Bytes now = veldtest::readAll(file("t.zdat"));
    EXPECT_TRUE(slice(now, kRow0 + 24, oldEnd - kRow0 - 24) == slice(old, kRow0 + 24, oldEnd - kRow0 - 24));
    const Decoded safe = decode(now, kRow0);
    ASSERT_EQ(safe.blocks.size(), 2u);
    EXPECT_GE(safe.blocks[1].translatePos, oldEnd);
    EXPECT_EQ(veld("verify " + q("t.zdat")).status, 0);
    ASSERT_EQ(veld("unpack " + q("t.zdat") + " " + q("t.back")).status, 0);
    EXPECT_TRUE(veldtest::readAll(file("t.back")) == concat(first, more));

    // Last block full: a new block follows it and the old records stay.
    const Bytes full = dataFile(kRow0, kBlock, 5);
    const Decoded fullBefore = decode(pack("f", full), kRow0);
    r = veld("append " + q("f.zdat") + " " + q("more.bin") + " --row0 1000 --in-place");
    ASSERT_EQ(r.status, 0) << r.err;
    const Decoded fullAfter = decode(veldtest::readAll(file("f.zdat")), kRow0);
    ASSERT_EQ(fullAfter.blocks.size(), 2u);
    EXPECT_EQ(fullAfter.blocks[0].translateSize, fullBefore.blocks[0].translateSize);
    expectContiguous(fullAfter, kBlock + 70000);
    EXPECT_EQ(veld("verify " + q("f.zdat")).status, 0);
    const Result c = veld("cat " + q("f.zdat") + " --offset " + std::to_string(kRow0 + kBlock - 3) + " --length 6");
    EXPECT_TRUE(Bytes(c.out.begin(), c.out.end()) == slice(concat(full, more), kRow0 + kBlock - 3, 6));

    // Appending nothing keeps the data; a missing input leaves the file alone.
    veldtest::writeAll(file("empty.bin"), {});
    ASSERT_EQ(veld("append " + q("f.zdat") + " " + q("empty.bin")).status, 0);
    const Bytes unchanged = veldtest::readAll(file("f.zdat"));
    EXPECT_EQ(veld("append " + q("f.zdat") + " " + q("missing.bin")).status, 1);
    EXPECT_TRUE(veldtest::readAll(file("f.zdat")) == unchanged);
    ASSERT_EQ(veld("unpack " + q("f.zdat") + " " + q("f.back")).status, 0);
    EXPECT_TRUE(veldtest::readAll(file("f.back")) == concat(full, more));
}

#ifndef _WIN32
// A disk that fills up during an append: the failure is reported, nothing is
// committed afterwards, and a safe append leaves the file reading as before.
TEST_F(VeldCli, AppendOntoAFullDiskIsReportedAndCommitsNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string disk = file("disk");
    std::filesystem::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=1m tmpfs " + quote(disk)).c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { (void)std::system(("umount " + quote(at)).c_str()); }
    } unmount{disk};
    const Bytes first = veldtest::patternBytes(kRow0 + 300000, 8);  // does not shrink
    pack("p", first);
    veldtest::writeAll(file("noise.bin"), veldtest::patternBytes(900000, 9));
    const std::string target = quote(disk + "/p.zdat");
    for (const std::string mode : {"", " --in-place"}) {
        SCOPED_TRACE(mode);
        std::filesystem::copy_file(file("p.zdat"), disk + "/p.zdat",
                                   std::filesystem::copy_options::overwrite_existing);
        const Result r = veld("append " + target + " " + q("noise.bin") + mode);
        expectDamaged(r, "no space left on device");
        EXPECT_NE(r.err.find(disk + "/p.zdat"), std::string::npos) << r.err;
        if (!mode.empty()) continue;
        EXPECT_NE(r.err.find("the file is unchanged"), std::string::npos) << r.err;
        EXPECT_EQ(std::filesystem::file_size(disk + "/p.zdat"), std::filesystem::file_size(file("p.zdat")))
            << "cut back to its old length";
        ASSERT_EQ(veld("unpack " + target + " " + q("p.back")).status, 0);
        EXPECT_TRUE(veldtest::readAll(file("p.back")) == first);
    }
}
#endif

TEST_F(VeldCli, VerifyNamesTheBlockOfAFlippedPayloadByte) {
    const Bytes input = dataFile(kRow0, 2 * kBlock + 4000);
    Bytes packed = pack("p", input);
    const Decoded d = decode(packed, kRow0);
    ASSERT_EQ(veld("verify " + q("p.zdat")).status, 0);
    const Record& b1 = d.blocks[1];
    packed[b1.translatePos + b1.translateSize / 2] ^= 0x20;
    veldtest::writeAll(file("p.zdat"), packed);

    for (const std::string threads : {"0", "2"}) {
        const Result r = veld("verify " + q("p.zdat") + " --threads " + threads);
        expectDamaged(r, "block 1 at offset " + std::to_string(b1.translatePos));
        EXPECT_EQ(r.err.find("block 0 "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("block 2 "), std::string::npos) << r.err;
    }
    // unpack fails on the block and leaves no output behind.
    const Result u = veld("unpack " + q("p.zdat") + " " + q("p.back"));
    expectDamaged(u, "block 1 at offset " + std::to_string(b1.translatePos));
    EXPECT_FALSE(std::filesystem::exists(file("p.back")));
    EXPECT_FALSE(std::filesystem::exists(file("p.back.veld-partial")));
    // cat reads only the blocks it needs: block 0 is still readable.
    const Result c = veld("cat " + q("p.zdat") + " --offset 0 --length " + std::to_string(kRow0 + 100));
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(Bytes(c.out.begin(), c.out.end()) == slice(input, 0, kRow0 + 100));
    expectDamaged(veld("cat " + q("p.zdat") + " --offset " + std::to_string(kRow0 + kBlock) + " --length 10"),
                  "block 1 at offset " + std::to_string(b1.translatePos));
}

TEST_F(VeldCli, VerifyNamesTheBlockWhereATruncatedFileEnds) {
    const Bytes packed = pack("t", dataFile(kRow0, 3 * kBlock + 100));
    const Decoded d = decode(packed, kRow0);
    const Record& b2 = d.blocks[2];
    const Bytes cut(packed.begin(), packed.begin() + b2.translatePos + b2.translateSize / 3);
    veldtest::writeAll(file("t.zdat"), cut);
    expectDamaged(veld("verify " + q("t.zdat") + " --row0 1000"),
                  "block 2 at offset " + std::to_string(b2.translatePos));
    // Without --row0 nothing checks out, and the program asks for it.
    const Result r = veld("verify " + q("t.zdat"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--row0 1000"), std::string::npos) << r.err;

    // Cut inside the table: the payloads are whole, the table is not.
    veldtest::writeAll(file("t.zdat"), Bytes(packed.begin(), packed.end() - 10));
    expectDamaged(veld("verify " + q("t.zdat") + " --row0 1000"), "table");
    EXPECT_EQ(veld("unpack " + q("t.zdat") + " " + q("t.back") + " --row0 1000").status, 1);
    EXPECT_FALSE(std::filesystem::exists(file("t.back")));
}

TEST_F(VeldCli, EveryTruncationIsReportedAsDamage) {
    const Bytes packed = pack("m", dataFile(kRow0, 2 * kBlock + 100));
    const Decoded d = decode(packed, kRow0);
    const std::int64_t size = static_cast<std::int64_t>(packed.size());
    // Cuts in the heading, at and inside each payload, and inside the table.
    std::vector<std::int64_t> cuts = {kRow0 + 1, kRow0 + 23, kRow0 + 24, size - 1, size - 24, d.infoPos,
                                      d.infoPos + 1};
    for (const Record& r : d.blocks) {
        cuts.push_back(r.translatePos + 1);
        cuts.push_back(r.translatePos + r.translateSize / 2);
        cuts.push_back(r.translatePos + r.translateSize - 1);
    }
    for (const std::int64_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        veldtest::writeAll(file("m.zdat"), Bytes(packed.begin(), packed.begin() + cut));
        const Result r = veld("verify " + q("m.zdat") + " --row0 1000");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("veld: ", 0), 0u) << r.err;
        // Inside a payload the report names that block.
        for (std::size_t k = 0; k < d.blocks.size(); ++k) {
            const Record& b = d.blocks[k];
            if (cut > b.translatePos && cut < b.translatePos + b.translateSize) {
                EXPECT_NE(r.err.find("block " + std::to_string(k) + " at offset " + std::to_string(b.translatePos)),
                          std::string::npos)
                    << r.err;
            }
        }
        EXPECT_EQ(veld("info " + q("m.zdat") + " --row0 1000").status, 1);
        EXPECT_EQ(veld("cat " + q("m.zdat") + " --row0 1000 --offset 0 --length 10").status, 1);
    }
}

TEST_F(VeldCli, VerifyNamesTheBlockOfADamagedTable) {
    const Bytes packed = pack("d", dataFile(kRow0, 3 * kBlock + 100));
    const Decoded d = decode(packed, kRow0);
    {
        SCOPED_TRACE("a block record's uncompressed size");
        Bytes b = packed;
        put32(b, d.recordAt(2) + 16, d.blocks[2].orginalSize - 1);
        veldtest::writeAll(file("d.zdat"), b);
        expectDamaged(veld("verify " + q("d.zdat")), "block 2 at offset " + std::to_string(d.blocks[2].translatePos));
    }
    {
        SCOPED_TRACE("a block record's payload offset");
        Bytes b = packed;
        put64(b, d.recordAt(1) + 8, d.blocks[1].translatePos + 7);
        veldtest::writeAll(file("d.zdat"), b);
        expectDamaged(veld("verify " + q("d.zdat")), "block 1 at offset " + std::to_string(d.blocks[1].translatePos + 7));
    }
    {
        SCOPED_TRACE("a record's position out of order");
        Bytes b = packed;
        put64(b, d.recordAt(3), d.blocks[3].orginalPos + 1);
        veldtest::writeAll(file("d.zdat"), b);
        expectDamaged(veld("verify " + q("d.zdat") + " --row0 1000"), "block 3 ");
        expectDamaged(veld("info " + q("d.zdat") + " --row0 1000"), "block 3 ");
    }
    {
        SCOPED_TRACE("the first record's mark");
        Bytes b = packed;
        put64(b, d.infoPos, -99);
        veldtest::writeAll(file("d.zdat"), b);
        expectDamaged(veld("verify " + q("d.zdat") + " --row0 1000"), "-100");
    }
    {
        SCOPED_TRACE("a block count larger than the table");
        Bytes b = packed;
        put32(b, d.infoPos + 20, 1 << 30);
        veldtest::writeAll(file("d.zdat"), b);
        expectDamaged(veld("verify " + q("d.zdat") + " --row0 1000"), "too short");
        expectDamaged(veld("unpack " + q("d.zdat") + " " + q("d.back") + " --row0 1000"), "too short");
        EXPECT_FALSE(std::filesystem::exists(file("d.back")));
    }
    {
        SCOPED_TRACE("the heading's table length");
        Bytes b = packed;
        put64(b, kRow0 + 16, 1LL << 40);
        veldtest::writeAll(file("d.zdat"), b);
        expectDamaged(veld("verify " + q("d.zdat") + " --row0 1000"), "table");
    }
}

TEST_F(VeldCli, RecoverKeepsEveryCompleteBlockOfAnUnfinishedPack) {
    const Bytes input = dataFile(kRow0, 3 * kBlock + 5000);
    const Bytes packed = pack("r", input);
    const Decoded d = decode(packed, kRow0);
    // As a killed pack leaves it: no heading, no table, the last payload cut.
    Bytes partial(packed.begin(), packed.begin() + d.blocks[2].translatePos + 100);
    std::fill(partial.begin() + kRow0, partial.begin() + kRow0 + 24, 0);
    veldtest::writeAll(file("r.part"), partial);

    Result r = veld("verify " + q("r.part"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("veld recover"), std::string::npos) << r.err;
    r = veld("verify " + q("r.part") + " --row0 1000");
    expectDamaged(r, "'veld recover");
    EXPECT_NE(r.err.find("2 complete blocks"), std::string::npos) << r.err;

    r = veld("recover " + q("r.part"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(", 2 blocks, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("damage starts at offset " + grouped(d.blocks[2].translatePos)),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(veldtest::readAll(file("r.part")) == partial) << "the input is left alone";
    ASSERT_EQ(veld("unpack " + q("r.part.recovered") + " " + q("r.back")).status, 0);
    EXPECT_TRUE(veldtest::readAll(file("r.back")) == slice(input, 0, kRow0 + 2 * kBlock));

    EXPECT_EQ(veld("recover " + q("r.part") + " " + q("r.part")).status, 2);
    ASSERT_EQ(veld("recover " + q("r.part") + " --in-place --quiet").status, 0);
    EXPECT_TRUE(veldtest::readAll(file("r.part")) == veldtest::readAll(file("r.part.recovered")));
    EXPECT_FALSE(std::filesystem::exists(file("r.part.veld-recover")));
    // A sound file needs nothing and gets no output.
    r = veld("recover " + q("r.zdat") + " " + q("r.copy"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("nothing to recover"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(file("r.copy")));
}

// Each kind of damage: P is found without --row0, and the report's lines
// agree on what was kept, what was lost and where the damage starts.
TEST_F(VeldCli, RecoverReportsWhatItKeptAndLostForEachKindOfDamage) {
    const Bytes input = dataFile(kRow0, 4 * kBlock + 7000);
    const Bytes packed = pack("k", input);
    const Decoded d = decode(packed, kRow0);
    ASSERT_EQ(d.blocks.size(), 5u);
    const Record& b2 = d.blocks[2];
    auto line = [](const std::string& out, const std::string& start) {
        const std::size_t at = out.find("\n" + start);
        if (at == std::string::npos) return std::string();
        std::string text = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
        if (!text.empty() && text.back() == '\r') text.pop_back();  // a console's line ends
        return text;
    };
    {
        SCOPED_TRACE("a pack killed inside block 2: no heading, no table");
        Bytes b(packed.begin(), packed.begin() + b2.translatePos + 500);
        std::fill(b.begin() + kRow0, b.begin() + kRow0 + 24, 0);
        veldtest::writeAll(file("k1"), b);
        const Result r = veld("recover " + q("k1"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("row0 1,000 (found by 24 zero bytes"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(", 2 blocks, " + grouped(2 * kBlock) + " bytes of case data"), std::string::npos) << r.out;
        EXPECT_EQ(line(r.out, "damage starts at offset ")
                      .rfind("damage starts at offset " + grouped(b2.translatePos) + ": block 2 at offset " +
                                 grouped(b2.translatePos) + ": the file ends inside its payload (the file is " +
                                 grouped(static_cast<std::int64_t>(b.size())) + " bytes; ",
                             0),
                  0u)
            << r.out;
        EXPECT_EQ(line(r.out, "lost: "), "lost: whatever the 500 bytes from offset " + grouped(b2.translatePos) +
                                             " to the end of the file held (no table counts it)");
        EXPECT_EQ(r.out.find("wrong --row0"), std::string::npos) << r.out;
        const Result nowhere = veld("recover " + q("k1") + " " + q("no/such/dir/k1.out"));
        expectDamaged(nowhere, "no/such/dir/k1.out: cannot write: no such file or directory");
        EXPECT_EQ(nowhere.err.find(".veld-recover"), std::string::npos) << nowhere.err;
    }
    {
        SCOPED_TRACE("cut short with the heading intact");
        const Bytes b(packed.begin(), packed.begin() + b2.translatePos + b2.translateSize);
        veldtest::writeAll(file("k2"), b);
        const Result r = veld("recover " + q("k2"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(", 3 blocks, " + grouped(3 * kBlock) + " bytes of case data, positions 1,000 to " +
                             grouped(kRow0 + 3 * kBlock - 1) + " (found by walking the payloads)"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(line(r.out, "lost: "), "lost: nothing: every payload in the file was kept");
        EXPECT_NE(line(r.out, "damage starts at offset 1,000: ").find("does not fit a table"), std::string::npos) << r.out;
    }
    {
        SCOPED_TRACE("one flipped byte in block 2, the table sound");
        Bytes b = packed;
        b[static_cast<std::size_t>(b2.translatePos + b2.translateSize / 3)] ^= 0x08;
        veldtest::writeAll(file("k3"), b);
        Result r = veld("recover " + q("k3"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(", 2 blocks, " + grouped(2 * kBlock) + " bytes of case data"), std::string::npos) << r.out;
        EXPECT_NE(line(r.out, "damage starts at offset ").find("damage starts at offset " + grouped(b2.translatePos) +
                                                              ": block 2 at offset "),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(line(r.out, "lost: "), "lost: 3 blocks, " + grouped(2 * kBlock + 7000) +
                                             " bytes of case data (the table counts them)");
        EXPECT_EQ(line(r.out, "later: "), "later: 2 sound blocks (" + grouped(kBlock + 7000) +
                                              " bytes of case data) lie past the damage; --fill-damaged keeps them, "
                                              "with the damaged positions filled with zero bytes");

        r = veld("recover " + q("k3") + " " + q("k3.filled") + " --fill-damaged");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(", 4 blocks, "), std::string::npos) << r.out;
        EXPECT_EQ(line(r.out, "lost: "), "lost: 1 block damaged; its " + grouped(kBlock) +
                                             " bytes of case data are zero bytes in the output");
        EXPECT_NE(line(r.out, "filled with zero bytes: ")
                      .find("filled with zero bytes: positions " + grouped(b2.orginalPos) + " to " +
                            grouped(b2.orginalPos + kBlock - 1) + " (" + grouped(kBlock) + " bytes), held by block 2"),
                  std::string::npos)
            << r.out;
        ASSERT_EQ(veld("unpack " + q("k3.filled") + " " + q("k3.back")).status, 0);
        Bytes expected = input;
        std::fill(expected.begin() + b2.orginalPos, expected.begin() + b2.orginalPos + kBlock, 0);
        EXPECT_TRUE(veldtest::readAll(file("k3.back")) == expected);

        r = veld("recover " + q("k3") + " " + q("k3.json") + " --fill-damaged --json");
        ASSERT_EQ(r.status, 0) << r.err;
        const jsonmini::Value v = jsonmini::parse(r.out);
        EXPECT_EQ(v["blocks"].integer(), 4);
        EXPECT_EQ(v["lost_blocks"].integer(), 1);
        ASSERT_EQ(v["filled"].items.size(), 1u);
        EXPECT_EQ(v["filled"].items[0]["from"].integer(), b2.orginalPos);
        EXPECT_EQ(v["filled"].items[0]["to"].integer(), b2.orginalPos + kBlock);
        EXPECT_EQ(v["filled"].items[0]["block"].integer(), 2);
        EXPECT_EQ(v["filled"].items[0]["offset"].integer(), b2.translatePos);
    }
    {
        SCOPED_TRACE("a damaged heading, the table sound");
        Bytes b = packed;
        std::fill(b.begin() + kRow0, b.begin() + kRow0 + 24, 0xA5);
        veldtest::writeAll(file("k4"), b);
        const Result r = veld("recover " + q("k4"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("(found by a table whose first block starts there), 5 blocks"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("damage starts at offset 1,000: the heading at offset 1,000 is damaged"), std::string::npos)
            << r.out;
        EXPECT_EQ(line(r.out, "lost: "), "lost: nothing");
        ASSERT_EQ(veld("unpack " + q("k4.recovered") + " " + q("k4.back")).status, 0);
        EXPECT_TRUE(veldtest::readAll(file("k4.back")) == input);
    }
}

TEST_F(VeldCli, CompactRemovesWhatAppendsLeftAndVerifyNamesIt) {
    const Bytes input = dataFile(kRow0, kBlock + 30000);
    pack("c", input);
    const Bytes more = dataFile(0, 50000, 3);
    veldtest::writeAll(file("more.bin"), more);
    ASSERT_EQ(veld("append " + q("c.zdat") + " " + q("more.bin")).status, 0);
    Result r = veld("verify " + q("c.zdat"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("stale bytes (not damage; 'veld compact " + file("c.zdat") + "' removes them)"),
              std::string::npos)
        << r.out;
    const auto before = std::filesystem::file_size(file("c.zdat"));
    r = veld("compact " + q("c.zdat"));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto after = std::filesystem::file_size(file("c.zdat"));
    EXPECT_LT(after, before);
    EXPECT_NE(r.out.find("removed " + grouped(static_cast<std::int64_t>(before - after)) + " stale bytes"),
              std::string::npos)
        << r.out;
    r = veld("verify " + q("c.zdat"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("stale"), std::string::npos) << r.out;
    ASSERT_EQ(veld("unpack " + q("c.zdat") + " " + q("c.back")).status, 0);
    EXPECT_TRUE(veldtest::readAll(file("c.back")) == concat(input, more));
    r = veld("compact " + q("c.zdat"));
    EXPECT_NE(r.out.find("no stale bytes; left as it is"), std::string::npos) << r.out;
}

TEST_F(VeldCli, SwappedByteOrderIsReadWithSwap) {
    const Bytes input = dataFile(kRow0, kBlock + 3000);
    Bytes packed = pack("w", input);
    const Decoded d = decode(packed, kRow0);
    // Reverse each field of the heading and the table, as a big-endian writer stores them.
    auto reverse = [&packed](std::int64_t at, int width) { std::reverse(packed.begin() + at, packed.begin() + at + width); };
    for (int f = 0; f < 3; ++f) reverse(kRow0 + 8 * f, 8);
    for (std::size_t k = 0; k <= d.blocks.size(); ++k) {
        const std::int64_t at = d.infoPos + 24 * static_cast<std::int64_t>(k);
        reverse(at, 8);
        reverse(at + 8, 8);
        reverse(at + 16, 4);
        reverse(at + 20, 4);
    }
    veldtest::writeAll(file("w.zdat"), packed);

    EXPECT_EQ(veld("info " + q("w.zdat")).status, 1);
    const Result info = veld("info " + q("w.zdat") + " --swap --json");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(jsonmini::parse(info.out)["table_offset"].integer(), d.infoPos);
    ASSERT_EQ(veld("unpack " + q("w.zdat") + " " + q("w.back") + " --swap").status, 0);
    EXPECT_TRUE(veldtest::readAll(file("w.back")) == input);
    EXPECT_EQ(veld("verify " + q("w.zdat") + " --swap").status, 0);

    // An append writes the table and heading anew in native order.
    veldtest::writeAll(file("more.bin"), slice(input, kRow0, 2000));
    ASSERT_EQ(veld("append " + q("w.zdat") + " " + q("more.bin") + " --swap").status, 0);
    EXPECT_EQ(veld("verify " + q("w.zdat")).status, 0);
    ASSERT_EQ(veld("unpack " + q("w.zdat") + " " + q("w.back") + " --force").status, 0);
    EXPECT_TRUE(veldtest::readAll(file("w.back")) == concat(input, slice(input, kRow0, 2000)));
}

TEST_F(VeldCli, UsageErrorsExitTwoWithOneLine) {
    veldtest::writeAll(file("x.dat"), dataFile(kRow0, 5000));
    const std::string x = q("x.dat");
    const std::string calls[] = {
        "",
        "frobnicate",
        "pack",
        "pack " + x,
        "pack " + x + " " + q("x.zdat"),                      // --row0 is required
        "pack " + x + " " + q("x.zdat") + " --row0 0",
        "pack " + x + " " + q("x.zdat") + " --row0 10 --threads 2",
        "pack " + x + " " + q("x.zdat") + " --row0 10 --bogus",
        "unpack " + x + " " + q("x.back") + " --threads 1",
        "info " + x + " --row0 abc",
        "cat " + x + " --offset -5",
        "verify",
        "append " + x,
        "bench --size 0",
    };
    for (const std::string& args : calls) {
        SCOPED_TRACE(args);
        const Result r = veld(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind("veld: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(file("x.zdat")));
    EXPECT_FALSE(std::filesystem::exists(file("x.back")));
}

TEST_F(VeldCli, IoErrorsExitOneAndLeaveNoOutput) {
    Result r = veld("pack " + q("missing.dat") + " " + q("out.zdat") + " --row0 10");
    expectDamaged(r, "missing.dat");
    EXPECT_FALSE(std::filesystem::exists(file("out.zdat")));
    veldtest::writeAll(file("x.dat"), dataFile(kRow0, 5000));
    r = veld("pack " + q("x.dat") + " " + quote(file("no/such/dir/out.zdat")) + " --row0 10");
    EXPECT_EQ(r.status, 1) << r.err;
    r = veld("info " + q("missing.zdat"));
    expectDamaged(r, "missing.zdat");
}

#ifndef _WIN32
// A real disk that fills up: a 2 MiB tmpfs, which only root may mount.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& dir) : fDir(dir) {
        std::filesystem::create_directories(dir);
        const std::string mount = "mount -t tmpfs -o size=2m tmpfs " + quote(dir) + " 2>/dev/null";
        fMounted = geteuid() == 0 && std::system(mount.c_str()) == 0;
    }
    ~SmallDisk() {
        if (fMounted) std::system(("umount " + quote(fDir)).c_str());
    }
    bool mounted() const { return fMounted; }

private:
    std::string fDir;
    bool fMounted = false;
};

TEST_F(VeldCli, AFullDiskFailsTheCommandAndNamesItsOutput) {
    SmallDisk disk(file("small"));
    if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    // 3 MB of case data fit in one window: the disk fills during unpack's last write.
    pack("big", dataFile(kRow0, 3000000));
    const std::string back = file("small/back.dat");
    Result r = veld("unpack " + q("big.zdat") + " " + quote(back) + " --quiet");
    expectDamaged(r, "veld: " + back + ": ");
    EXPECT_NE(r.err.find("no space left on device"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(back));
    EXPECT_FALSE(std::filesystem::exists(back + ".veld-partial"));

    // Bytes that do not compress: pack's payload does not fit.
    veldtest::writeAll(file("noise.dat"), veldtest::patternBytes(3000000));
    const std::string packed = file("small/noise.zdat");
    r = veld("pack " + q("noise.dat") + " " + quote(packed) + " --row0 1000 --quiet");
    expectDamaged(r, "veld: " + packed + ": ");
    EXPECT_NE(r.err.find("no space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(file("noise.dat")), std::string::npos) << "names the input: " << r.err;
    EXPECT_EQ(r.err.find(".veld-partial"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(file("small")));
}
#endif

TEST_F(VeldCli, HelpExplainsEveryCommandWithAnExample) {
    for (const std::string cmd : {"", "pack", "unpack", "info", "cat", "verify", "append", "recover", "demo", "bench"}) {
        SCOPED_TRACE(cmd);
        const Result r = veld(cmd + " --help");
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Example"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("veld " + cmd), std::string::npos) << r.out;
    }
}

TEST_F(VeldCli, BenchMeasuresBothSidesOfEveryRowAndLeavesNoFiles) {
#ifdef _WIN32
    GTEST_SKIP() << "the peer rows run POSIX shell commands";
#endif
    const Result r = veld("bench --size 1 --json --dir " + q("bench"));
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonmini::Value v = jsonmini::parse(r.out);
    EXPECT_EQ(v["checks"].text, "ok");
    std::vector<std::string> names;
    for (const jsonmini::Value& row : v["rows"].items) {
        const std::string what = row["what"].text;
        SCOPED_TRACE(what + " / " + row["reference"].text);
        names.push_back(what);
        const double mine = std::stod(row["veld"].text), theirs = std::stod(row["reference_value"].text);
        EXPECT_GT(mine, 0);
        EXPECT_GT(theirs, 0);
        EXPECT_NEAR(std::stod(row["ratio"].text), mine / theirs, 1e-5 + 1e-3 * mine / theirs);  // printed rounded
    }
    for (const char* want : {"plain stream write, 64 KiB pieces", "compressed read, setting 2 (read-ahead)",
                             "random 1 KiB reads, plain stream", "engine zlib payload bytes",
                             "veld case part: heading + payloads + table"})
        EXPECT_EQ(std::count(names.begin(), names.end(), want), 1) << want;
    EXPECT_TRUE(std::filesystem::is_empty(file("bench")));
}

}  // namespace

TEST_F(VeldCli, JobsAndEnginesChangeSpeedOnly) {
    const Bytes input = dataFile(kRow0, 2 * kBlock + 999);
    const Bytes one = pack("one", input, "--jobs 1");
    EXPECT_TRUE(pack("three", input, "--jobs 3") == one) << "the same file for every number of jobs";
    EXPECT_TRUE(pack("threads", input, "--threads 1") == one);
    EXPECT_TRUE(pack("inline", input, "--threads 0") == one);
    // Appending with workers writes the same file as without, safely and in place.
    veldtest::writeAll(file("more.bin"), dataFile(0, kBlock + 5000, 7));
    for (const char* mode : {"", " --in-place"}) {
        SCOPED_TRACE(mode);
        Bytes withOne;
        for (const char* jobs : {"1", "3"}) {
            veldtest::writeAll(file("grown.zdat"), one);
            ASSERT_EQ(veld("append " + q("grown.zdat") + " " + q("more.bin") + " --jobs " + jobs + mode).status, 0);
            const Bytes grown = veldtest::readAll(file("grown.zdat"));
            if (withOne.empty()) withOne = grown;
            EXPECT_TRUE(grown == withOne) << jobs << " jobs";
        }
    }
    ASSERT_EQ(veld("--engine zlib pack " + q("one.dat") + " " + q("z.zdat") + " --row0 " + std::to_string(kRow0) +
                   " --quiet --jobs 2").status, 0);
    // Each engine reads the other's file, with workers or with the one-worker setting.
    for (const char* args : {"--engine zlib unpack three.zdat back --jobs 3", "unpack z.zdat back --jobs 3",
                             "unpack z.zdat back --threads 2"}) {
        SCOPED_TRACE(args);
        std::string command = args;
        for (const char* name : {"three.zdat", "z.zdat", "back"}) {
            const auto at = command.find(name);
            if (at != std::string::npos) command.replace(at, std::strlen(name), q(name));
        }
        ASSERT_EQ(veld(command + " --quiet --force").status, 0);
        EXPECT_TRUE(veldtest::readAll(file("back")) == input);
    }
    EXPECT_EQ(veld("--engine gzip info " + q("z.zdat")).status, 2);
    EXPECT_EQ(veld("pack " + q("one.dat") + " " + q("x.zdat") + " --row0 5 --jobs 0").status, 2);
    // --threads takes a described setting: it cannot be given with --jobs.
    EXPECT_EQ(veld("pack " + q("one.dat") + " " + q("x.zdat") + " --row0 5 --threads 0 --jobs 2").status, 2);
}
