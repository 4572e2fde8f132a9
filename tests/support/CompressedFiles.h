// Compressed data files for the tests: written the way the application writes
// them, read back through the library, and taken apart with nothing but the
// layout rules and zlib itself, so the code under test is never its own
// reference. Also the block files and reading harness of the thread objects.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "PreIOThreadBase.h"
#include "TestFiles.h"
#include "VELD_File.h"
#include "VELD_FileStream.h"
#include "compressedLayout.h"
#include "crt_seam.h"
#include "filePosInfo.h"
#include "zcmpsFilestr.h"

namespace veldtest {

constexpr std::int64_t kBlock = veld::layout::kBlockSize;

// A thread setting for the tests: 0, 1 or 2 as setMultiThread takes it, or
// -k for k workers (setWorkers).
void applySetting(zcmpsFilestr& z, int setting);

struct PackOptions {
    int setting = 0;                        // 0, 1 or -k (applySetting)
    std::size_t piece = 100000;             // bytes per Write
    std::vector<std::uint64_t> flushAfter;  // case-data offsets after which Flush is called
};

// A new file holding dict (the dictionary part, P = dict.size()) and a
// compressed stream at the setting, ready to write the case data.
struct CompressedWriter {
    CompressedWriter(const std::string& path, const Bytes& dict, int setting = 0);
    VELD_FileStream stream;
    std::unique_ptr<zcmpsFilestr> z;
};

// Writes dict and cases to path.
void packFile(const std::string& path, const Bytes& dict, const Bytes& cases,
              const PackOptions& options = {});
// Reads all case data back through zcmpsFilestr at the given setting.
Bytes readCases(const std::string& path, std::int64_t P, int setting, bool swap = false);

struct RawLayout {
    std::int64_t caseStartPos, infoPos, size;
    blockInfo first;
    std::vector<blockInfo> blocks;
};
// Decodes the heading at P and the table with plain memcpy (native order).
RawLayout readLayout(const Bytes& file, std::int64_t P);
// Inflates every payload with zlib's uncompress and concatenates them.
Bytes inflateAll(const Bytes& file, const RawLayout& layout);

// Bytes that deflate shrinks well (patternBytes does not shrink at all).
Bytes textBytes(std::size_t count, std::uint32_t seed = 7);

// Table bytes: first record, then the records, in native order.
Bytes tableBytes(const std::vector<blockInfo>& records, std::int32_t blockSize);

// A file for the reading thread objects, opened for reading with its index
// loaded: 1,000 dictionary bytes, 24 heading bytes, then `data` cut into blocks
// of `sizes` bytes, each one zlib stream at level 1, back to back.
struct ReadSource {
    ReadSource(const Bytes& data, const std::vector<std::size_t>& sizes, std::int32_t blockSize);
    // Loads the records, as they now stand, into the index.
    void load(std::int32_t blockSize);
    const blockInfo& block(std::size_t k) const { return records[k]; }
    // Asks the thread object for block k and compares with the data written.
    void expectBlock(PreIOThreadBase& reader, std::size_t k) const;
    std::uint64_t readBlockOf(PreIOThreadBase& reader, std::size_t k) const;
    // How often block k's payload was read while the seam watched.
    std::size_t payloadReads(const veld::crt::CrtSeam& seam, std::size_t k) const;
    void flipPayloadByte(std::size_t k);

    TempDir dir;
    Bytes data;
    std::vector<blockInfo> records;
    VELD_File file;
    filePosInfo index{veld::layout::kBlockSize};
};

// Cases both reading thread objects must pass, on five blocks of 100,000
// bytes and a short last one.
constexpr std::int32_t kSmall = 100000;
inline ReadSource smallBlocks() {
    return ReadSource(textBytes(5 * kSmall + 31337), {kSmall, kSmall, kSmall, kSmall, kSmall, 31337}, kSmall);
}

template <class Reader>
std::unique_ptr<Reader> startReader(ReadSource& s, std::uint64_t bufSize = kSmall) {
    auto r = std::make_unique<Reader>(&s.file, &s.index, bufSize);
    r->initThread(true);
    r->startThread();
    return r;
}

// In order each payload is read once; after the last block nothing is in
// flight, so asking again or seeking back must neither wait nor fail.
template <class Reader>
void expectInOrderThenAnyOrder() {
    ReadSource s = smallBlocks();
    auto r = startReader<Reader>(s);
    {
        veld::crt::CrtSeam seam;
        for (std::size_t k = 0; k < 6; ++k) s.expectBlock(*r, k);
        for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(s.payloadReads(seam, k), 1u) << k;
    }
    for (std::size_t k : {5, 5, 0, 3, 1, 2, 5, 4}) s.expectBlock(*r, k);
    r->stopThread();
    r->releaseThreads();
}

// Damage met ahead of the owner is raised only by the request for that block.
template <class Reader>
void expectDamageRefusedOnlyWhenAskedFor() {
    ReadSource s = smallBlocks();
    s.flipPayloadByte(2);
    auto r = startReader<Reader>(s);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 1);  // the worker now meets block 2's damage
    s.expectBlock(*r, 4);
    std::string detail;
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 2); }, &detail), "ret!= 0");
    EXPECT_NE(detail.find("block at position " + std::to_string(s.block(2).orginalPos)), std::string::npos);
    EXPECT_NE(detail.find("offset " + std::to_string(s.block(2).translatePos)), std::string::npos) << detail;
    s.expectBlock(*r, 1);
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 2); }), "ret!= 0");
    s.expectBlock(*r, 3);
    s.expectBlock(*r, 5);
}

// A failed read ahead reaches only the request for that block, which reads it
// again itself; what fails there is that request's own, and no later one's.
template <class Reader>
void expectFailedReadAheadIsRetriedByItsRequest() {
    ReadSource s = smallBlocks();
    auto r = startReader<Reader>(s);
    {
        veld::crt::CrtSeam seam;
        seam.failNth(veld::crt::Call::Read, 2, EIO);  // the read ahead of block 1
        s.expectBlock(*r, 0);
        s.expectBlock(*r, 1);
        EXPECT_EQ(s.payloadReads(seam, 1), 2u);
    }
    {
        veld::crt::CrtSeam seam;
        seam.failFrom(veld::crt::Call::Read, 1, EIO);  // the disk refuses everything
        int err = 0;
        EXPECT_EQ(raisedCode([&] { s.readBlockOf(*r, 4); }, &err), 1003);
        EXPECT_EQ(err, EIO);
    }
    for (std::size_t k : {4, 5, 2, 3}) s.expectBlock(*r, k);
    r->stopThread();
    r->releaseThreads();
}

// A read ahead that fails leaves the raw file as the owner's own reads left
// it: still good, not at its end, its position where the last request's payload ended.
template <class Reader>
void expectFailedReadAheadLeavesTheFileAlone() {
    ReadSource s = smallBlocks();
    auto r = startReader<Reader>(s);
    veld::crt::CrtSeam seam;
    seam.failAt(veld::crt::Call::Read, s.block(2).translatePos, EIO);  // block 2 lies on a bad region
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 1);  // a worker now fails to fetch block 2
    s.expectBlock(*r, 4);  // a jump waits for that fetch
    s.expectBlock(*r, 5);  // the last block: nothing is fetched after it
    EXPECT_GE(s.payloadReads(seam, 2), 1u) << "block 2 was fetched ahead";
    EXPECT_TRUE(s.file.bGood);
    EXPECT_FALSE(s.file.IsEof());
    EXPECT_EQ(s.file.fCurPos, s.block(5).translatePos + s.block(5).translateSize);
    int err = 0;
    EXPECT_EQ(raisedCode([&] { s.readBlockOf(*r, 2); }, &err), 1003) << "the request meets it itself";
    EXPECT_EQ(err, EIO);
    EXPECT_FALSE(s.file.bGood);
    s.file.bGood = true;
    seam.stopFailing();
    s.expectBlock(*r, 2);
    r->stopThread();
    r->releaseThreads();
}

}  // namespace veldtest
