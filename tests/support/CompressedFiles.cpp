#include "CompressedFiles.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "VELD_FileStream.h"
#include "zcmpsFilestr.h"

namespace veldtest {

void packFile(const std::string& path, const std::vector<unsigned char>& dict,
              const std::vector<unsigned char>& cases, const PackOptions& options) {
    VELD_FileStream stream(path.c_str(), "wb");
    if (!stream.Good()) throw std::runtime_error("cannot create " + path);
    stream.Write(dict.data(), dict.size());
    zcmpsFilestr z(stream);
    const auto P = static_cast<std::int64_t>(dict.size());
    if (options.setting) z.setMultiThread(options.setting);
    z.setRow0Pos(P);
    z.Seek(P, VELD_StrBaseIO::FromStart);
    std::vector<std::uint64_t> flushes = options.flushAfter;
    std::sort(flushes.begin(), flushes.end());
    std::size_t next = 0;
    std::uint64_t at = 0;
    while (at < cases.size()) {
        std::uint64_t n = std::min<std::uint64_t>(options.piece, cases.size() - at);
        if (next < flushes.size() && flushes[next] > at) n = std::min(n, flushes[next] - at);
        z.Write(cases.data() + at, n);
        at += n;
        while (next < flushes.size() && flushes[next] <= at) {
            if (flushes[next] == at) z.Flush();
            ++next;
        }
    }
    z.Close();
}

std::vector<unsigned char> readCases(const std::string& path, std::int64_t P, int setting, bool swap) {
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    if (setting) z.setMultiThread(setting);
    z.readFilePosInfo(P, swap);
    std::vector<unsigned char> out;
    std::vector<unsigned char> piece(1 << 20);
    for (;;) {
        const std::uint64_t n = z.Read(piece.data(), piece.size());
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < piece.size()) break;
    }
    z.Close();
    return out;
}

namespace {
template <class T>
T at(const std::vector<unsigned char>& file, std::int64_t offset) {
    if (offset < 0 || static_cast<std::size_t>(offset) + sizeof(T) > file.size())
        throw std::runtime_error("layout read outside the file");
    T value;
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

RawRecord recordAt(const std::vector<unsigned char>& file, std::int64_t offset) {
    return RawRecord{at<std::int64_t>(file, offset), at<std::int64_t>(file, offset + 8),
                     at<std::int32_t>(file, offset + 16), at<std::int32_t>(file, offset + 20)};
}
}  // namespace

RawLayout readLayout(const std::vector<unsigned char>& file, std::int64_t P) {
    RawLayout layout{};
    layout.caseStartPos = at<std::int64_t>(file, P);
    layout.infoPos = at<std::int64_t>(file, P + 8);
    layout.size = at<std::int64_t>(file, P + 16);
    layout.first = recordAt(file, layout.infoPos);
    for (std::int32_t i = 0; i < layout.first.translateSize; ++i)
        layout.blocks.push_back(recordAt(file, layout.infoPos + 24 * (i + 1)));
    return layout;
}

std::vector<unsigned char> inflateAll(const std::vector<unsigned char>& file, const RawLayout& layout) {
    std::vector<unsigned char> out;
    for (const RawRecord& r : layout.blocks) {
        std::vector<unsigned char> block(static_cast<std::size_t>(r.orginalSize));
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

std::vector<unsigned char> caseRecords(std::size_t bytes, std::uint32_t seed) {
    std::vector<unsigned char> out;
    out.reserve(bytes + 64);
    std::uint32_t x = seed * 747796405u + 2891336453u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    static const char* names[] = {"north   ", "south   ", "east    ", "west    ", "        "};
    while (out.size() < bytes) {
        double fields[4] = {static_cast<double>(next() % 9 + 1), std::round((next() % 100000) / 100.0),
                            next() % 7 == 0 ? -1.7976931348623157e308 : (next() % 1000) / 10.0,
                            static_cast<double>(next() % 3)};
        const auto* p = reinterpret_cast<const unsigned char*>(fields);
        out.insert(out.end(), p, p + sizeof fields);
        const char* name = names[next() % 5];
        out.insert(out.end(), name, name + 8);
    }
    out.resize(bytes);
    return out;
}

}  // namespace veldtest
