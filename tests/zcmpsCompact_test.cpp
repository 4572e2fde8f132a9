// Compaction: a file with stale bytes becomes one without, reading the same
// bytes from the same payloads; refused or failed, it leaves the file as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "crt_seam.h"
#include "zcmpsInspect.h"

using namespace veldtest;
using namespace veld::inspect;
using veld::crt::Call;

namespace {

constexpr std::int64_t P = 1000;

// A file after two safe appends: old tables and a copied short block are stale.
struct Appended {
    TempDir dir;
    std::string path = dir.file("f.zdat");
    Bytes cases;

    Appended() {
        cases = textBytes(kBlock + 30000, 51);
        packFile(path, patternBytes(P, 5), cases);
        for (const std::size_t n : {std::size_t{40000}, static_cast<std::size_t>(kBlock)}) {
            const Bytes more = textBytes(n, static_cast<std::uint32_t>(52 + n % 7));
            VELD_FileStream stream(path.c_str(), "rb");
            zcmpsFilestr z(stream);
            z.readFilePosInfo(P, false);
            const std::int64_t end = P + static_cast<std::int64_t>(cases.size());
            z.Seek(end, VELD_StrBaseIO::FromStart);
            z.setFileToAppendSafely(end, false);
            z.Write(more.data(), more.size());
            z.Close();
            cases.insert(cases.end(), more.begin(), more.end());
        }
    }
};

Layout layoutOf(const std::string& path) {
    FileSource source(path);
    Layout L = inspectLayout(source, P, false);
    checkPayloads(L, source, 0);
    return L;
}

Bytes payload(const Bytes& file, const blockInfo& b) {
    return slice(file, static_cast<std::size_t>(b.translatePos), static_cast<std::size_t>(b.translateSize));
}

}  // namespace

TEST(Compaction, RemovesStaleBytesAndCopiesEveryPayloadAsItIs) {
    Appended f;
    const Bytes before = readAll(f.path);
    const Layout old = layoutOf(f.path);
    ASSERT_TRUE(old.sound());
    ASSERT_GT(old.staleBytes, 0);

    const Compaction c = compactFile(f.path, P, false);
    EXPECT_EQ(c.staleBytes, old.staleBytes);
    EXPECT_EQ(c.oldSize, static_cast<std::int64_t>(before.size()));
    EXPECT_EQ(c.newSize, c.oldSize - c.staleBytes);
    const Bytes after = readAll(f.path);
    EXPECT_EQ(static_cast<std::int64_t>(after.size()), c.newSize);
    const Layout now = layoutOf(f.path);
    EXPECT_TRUE(now.sound());
    EXPECT_EQ(now.staleBytes, 0);
    EXPECT_EQ(slice(after, 0, P), slice(before, 0, P));
    ASSERT_EQ(now.blocks.size(), old.blocks.size());
    for (std::size_t k = 0; k < now.blocks.size(); ++k) {
        EXPECT_EQ(now.blocks[k].orginalPos, old.blocks[k].orginalPos);
        EXPECT_EQ(payload(after, now.blocks[k]), payload(before, old.blocks[k])) << "block " << k << " recompressed";
    }
    for (const int setting : {0, 2, -2}) EXPECT_EQ(readCases(f.path, P, setting), f.cases);
    EXPECT_FALSE(std::filesystem::exists(compactionTempName(f.path)));

    // Nothing stale: the file is left alone, not even rewritten.
    veld::crt::CrtSeam seam;
    EXPECT_EQ(compactFile(f.path, P, false).staleBytes, 0);
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    EXPECT_EQ(readAll(f.path), after);
}

TEST(Compaction, ADamagedFileIsRefusedAndLeftAsItWas) {
    Appended f;
    Bytes file = readAll(f.path);
    const RawLayout L = readLayout(file, P);
    file[static_cast<std::size_t>(L.infoPos + 24 + 20)] ^= 0x40;  // block 0's payload length
    writeAll(f.path, file);
    veld::crt::CrtSeam seam;
    EXPECT_TRUE(raised<CompactionRefused>([&] { compactFile(f.path, P, false); }).has_value());
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    EXPECT_EQ(readAll(f.path), file);
}

TEST(Compaction, EveryFailedWriteSyncOrRenameLeavesTheFileAsItWas) {
    Appended f;
    const Bytes before = readAll(f.path);
    int writes = 0;
    {
        veld::crt::CrtSeam seam;
        const std::string copy = f.dir.file("copy.zdat");
        std::filesystem::copy_file(f.path, copy);
        compactFile(copy, P, false);
        writes = static_cast<int>(seam.calls(Call::Write).size());
    }
    ASSERT_GT(writes, 3);
    struct Fault {
        Call kind;
        int nth, err;
    };
    std::vector<Fault> faults;
    for (int n = 1; n <= writes; ++n) faults.push_back({Call::Write, n, ENOSPC});
    faults.push_back({Call::Commit, 1, EIO});
    faults.push_back({Call::Close, 1, EIO});  // the new file's and the input's
    faults.push_back({Call::Close, 2, EIO});
    faults.push_back({Call::Rename, 1, EACCES});
    for (const Fault& fault : faults) {
        SCOPED_TRACE(std::to_string(static_cast<int>(fault.kind)) + " #" + std::to_string(fault.nth));
        veld::crt::CrtSeam seam;
        seam.failNth(fault.kind, fault.nth, fault.err);
        bool failed = false;
        try {
            compactFile(f.path, P, false);
        } catch (const veld::DataSourceError& e) {
            failed = true;
            EXPECT_EQ(e.fileName(), f.path) << "the file is named, not the temporary one";
            EXPECT_EQ(e.sysErrno(), fault.err);
        }
        seam.stopFailing();
        if (!failed) {
            // Only a close that lost nothing may pass: then the result is complete.
            EXPECT_EQ(fault.kind, Call::Close);
            EXPECT_EQ(readCases(f.path, P, 0), f.cases);
            writeAll(f.path, before);
            continue;
        }
        EXPECT_EQ(readAll(f.path), before);
        EXPECT_FALSE(std::filesystem::exists(compactionTempName(f.path)));
    }
}
