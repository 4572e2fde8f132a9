#include "CompressedFiles.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>


namespace veldtest {

void applySetting(zcmpsFilestr& z, int setting) {
    if (setting < 0)
        z.setWorkers(-setting);
    else if (setting)
        z.setMultiThread(setting);
}

CompressedWriter::CompressedWriter(const std::string& path, const Bytes& dict, int setting)
    : stream(path.c_str(), "wb") {
    if (!stream.Good()) throw std::runtime_error("cannot create " + path);
    stream.Write(dict.data(), dict.size());
    z = std::make_unique<zcmpsFilestr>(stream);
    applySetting(*z, setting);
    z->setRow0Pos(static_cast<std::int64_t>(dict.size()));
    z->Seek(static_cast<std::int64_t>(dict.size()), VELD_StrBaseIO::FromStart);
}

void packFile(const std::string& path, const Bytes& dict, const Bytes& cases, const PackOptions& options) {
    CompressedWriter w(path, dict, options.setting);
    zcmpsFilestr& z = *w.z;
    const auto& flushes = options.flushAfter;  // ascending, inside the data
    std::size_t next = 0;
    for (std::uint64_t at = 0; at < cases.size();) {
        std::uint64_t n = std::min<std::uint64_t>(options.piece, cases.size() - at);
        if (next < flushes.size()) n = std::min(n, flushes[next] - at);
        z.Write(cases.data() + at, n);
        at += n;
        if (next < flushes.size() && flushes[next] == at) {
            z.Flush();
            ++next;
        }
    }
    z.Close();
}

Bytes readCases(const std::string& path, std::int64_t P, int setting, bool swap) {
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    applySetting(z, setting);
    z.readFilePosInfo(P, swap);
    Bytes out = readToEnd(z);
    z.Close();
    return out;
}

RawLayout readLayout(const Bytes& file, std::int64_t P) {
    auto copy = [&file](std::int64_t at, void* to, std::size_t n) {
        if (at < 0 || static_cast<std::size_t>(at) + n > file.size())
            throw std::runtime_error("layout read outside the file");
        std::memcpy(to, file.data() + at, n);
    };
    RawLayout layout{};
    copy(P, &layout.caseStartPos, 8);
    copy(P + 8, &layout.infoPos, 8);
    copy(P + 16, &layout.size, 8);
    copy(layout.infoPos, &layout.first, 24);  // fields at 0, 8, 16 and 20, as on disk
    layout.blocks.resize(static_cast<std::size_t>(std::max(0, layout.first.translateSize)));
    for (std::size_t i = 0; i < layout.blocks.size(); ++i)
        copy(layout.infoPos + 24 * static_cast<std::int64_t>(i + 1), &layout.blocks[i], 24);
    return layout;
}

Bytes inflateAll(const Bytes& file, const RawLayout& layout) {
    Bytes out;
    for (const blockInfo& r : layout.blocks) {
        Bytes block(static_cast<std::size_t>(r.orginalSize));
        uLongf length = static_cast<uLongf>(block.size());
        if (r.translatePos < 0 || static_cast<std::size_t>(r.translatePos + r.translateSize) > file.size())
            throw std::runtime_error("payload outside the file");
        const int rc = uncompress(block.data(), &length, file.data() + r.translatePos,
                                  static_cast<uLong>(r.translateSize));
        if (rc != Z_OK || length != block.size()) throw std::runtime_error("payload does not inflate");
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

Bytes textBytes(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 64 == 0) x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>('a' + (i + (x >> 16)) % 7);
    }
    return bytes;
}

Bytes tableBytes(const std::vector<blockInfo>& records, std::int32_t blockSize) {
    Bytes table((records.size() + 1) * sizeof(blockInfo));
    veld::layout::encodeRecord(
        veld::layout::firstRecord(blockSize, static_cast<std::int32_t>(records.size())), table.data());
    for (std::size_t i = 0; i < records.size(); ++i)
        veld::layout::encodeRecord(records[i], table.data() + (i + 1) * sizeof(blockInfo));
    return table;
}

ReadSource::ReadSource(const Bytes& data, const std::vector<std::size_t>& sizes, std::int32_t blockSize)
    : data(data) {
    Bytes bytes = patternBytes(1000 + 24, 99);
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        uLongf room = compressBound(static_cast<uLong>(size));
        Bytes payload(room);
        if (compress2(payload.data(), &room, data.data() + at, static_cast<uLong>(size), 1) != Z_OK)
            throw std::runtime_error("compress2 failed");
        records.push_back(blockInfo{1000 + static_cast<std::int64_t>(at), static_cast<std::int64_t>(bytes.size()),
                                    static_cast<std::int32_t>(size), static_cast<std::int32_t>(room)});
        bytes.insert(bytes.end(), payload.begin(), payload.begin() + room);
        at += size;
    }
    writeAll(dir.file("case.dat"), bytes);
    ExtNameStr name;
    name.SetGeneric(dir.file("case.dat"));
    if (!file.Open(name, "rb")) throw std::runtime_error("cannot open case.dat");
    load(blockSize);
}

void ReadSource::load(std::int32_t blockSize) {
    const Bytes table = tableBytes(records, blockSize);
    index.loadForRead(table.data(), false, table.size());
}

void ReadSource::expectBlock(PreIOThreadBase& reader, std::size_t k) const {
    Bytes buf(block(k).orginalSize);
    ASSERT_EQ(reader.readBlock(buf.data(), buf.size(), block(k).orginalPos), buf.size()) << k;
    ASSERT_TRUE(buf == slice(data, block(k).orginalPos - 1000, buf.size())) << "block " << k << " differs";
}

std::uint64_t ReadSource::readBlockOf(PreIOThreadBase& reader, std::size_t k) const {
    Bytes buf(block(k).orginalSize);
    return reader.readBlock(buf.data(), buf.size(), block(k).orginalPos);
}

std::size_t ReadSource::payloadReads(const veld::crt::CrtSeam& seam, std::size_t k) const {
    std::size_t n = 0;
    for (const auto& c : seam.calls(veld::crt::Call::Read)) n += c.position == block(k).translatePos;
    return n;
}

void ReadSource::flipPayloadByte(std::size_t k) {
    // Our open file denies other writers on Windows: close it for the rewrite.
    const ExtNameStr name = file.fName;
    file.Close();
    auto bytes = readAll(dir.file("case.dat"));
    bytes[block(k).translatePos + block(k).translateSize / 2] ^= 0x10;
    writeAll(dir.file("case.dat"), bytes);
    ASSERT_TRUE(file.Open(name, "rb"));
}

}  // namespace veldtest
