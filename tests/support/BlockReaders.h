// A compressed file opened for reading with its index loaded, and the calls
// every reading thread object's test makes of it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "BlockFiles.h"
#include "PreIOThreadBase.h"
#include "VELD_File.h"
#include "check.h"
#include "crt_seam.h"
#include "filePosInfo.h"

namespace veldtest {

struct ReadSource {
    TempDir dir;
    BlockFile blocks;
    VELD_File file;
    filePosInfo index{veld::layout::kBlockSize};

    ReadSource(const std::vector<unsigned char>& data, const std::vector<std::size_t>& sizes,
               std::int32_t blockSize) {
        blocks = writeBlockFile(dir.file("case.dat"), 1000, data, sizes, blockSize);
        ExtNameStr name;
        name.SetGeneric(dir.file("case.dat"));
        if (!file.Open(name, "rb")) throw std::runtime_error("cannot open case.dat");
        index.loadForRead(blocks.table.data(), false, blocks.table.size());
    }

    const blockInfo& block(std::size_t k) const { return blocks.records[k]; }

    std::vector<unsigned char> bytesOf(std::size_t k) const {
        const auto from = blocks.data.begin() + (block(k).orginalPos - 1000);
        return std::vector<unsigned char>(from, from + block(k).orginalSize);
    }

    // Asks the thread object for block k and compares with the data written.
    void expectBlock(PreIOThreadBase& reader, std::size_t k) const {
        std::vector<unsigned char> buf(block(k).orginalSize);
        ASSERT_EQ(reader.readBlock(buf.data(), buf.size(), block(k).orginalPos), buf.size()) << k;
        ASSERT_TRUE(buf == bytesOf(k)) << "block " << k << " differs";
    }

    std::uint64_t readBlockOf(PreIOThreadBase& reader, std::size_t k) const {
        std::vector<unsigned char> buf(block(k).orginalSize);
        return reader.readBlock(buf.data(), buf.size(), block(k).orginalPos);
    }

    // How often block k's payload was read while the seam watched.
    std::size_t payloadReads(const veld::crt::CrtSeam& seam, std::size_t k) const {
        std::size_t n = 0;
        for (const auto& c : seam.calls(veld::crt::Call::Read))
            if (c.position == block(k).translatePos) ++n;
        return n;
    }

    // Damages block k's payload on disk.
    void flipPayloadByte(std::size_t k) {
        auto bytes = readAll(dir.file("case.dat"));
        bytes[block(k).translatePos + block(k).translateSize / 2] ^= 0x10;
        writeAll(dir.file("case.dat"), bytes);
    }
};

inline std::string failedCheck(const std::function<void()>& f, std::string* detail = nullptr) {
    try {
        f();
    } catch (const veld::CheckFailure& e) {
        if (detail) *detail = e.detail();
        return e.expression();
    }
    return "no check failed";
}

}  // namespace veldtest
