// Helpers for tests of the compressed stream: write a data file the way the
// application does, read it back through the library, and read it back
// independently with nothing but the layout rules and zlib itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldtest {

struct PackOptions {
    int setting = 0;                  // 0 or 1
    std::size_t piece = 100000;       // bytes per Write
    std::vector<std::uint64_t> flushAfter;  // case-data offsets after which Flush is called
};

// Writes dict (the dictionary part, P = dict.size()) and cases to path.
void packFile(const std::string& path, const std::vector<unsigned char>& dict,
              const std::vector<unsigned char>& cases, const PackOptions& options = {});

// Reads all case data back through zcmpsFilestr at the given setting.
std::vector<unsigned char> readCases(const std::string& path, std::int64_t P, int setting,
                                     bool swap = false);

struct RawRecord {
    std::int64_t orginalPos, translatePos;
    std::int32_t orginalSize, translateSize;
};
struct RawLayout {
    std::int64_t caseStartPos, infoPos, size;
    RawRecord first;
    std::vector<RawRecord> blocks;
};

// Decodes the heading at P and the table with plain memcpy (native order).
RawLayout readLayout(const std::vector<unsigned char>& file, std::int64_t P);
// Inflates every payload with zlib's uncompress and concatenates them.
std::vector<unsigned char> inflateAll(const std::vector<unsigned char>& file, const RawLayout& layout);

// Realistic case data: fixed-width records of doubles, codes and padded strings.
std::vector<unsigned char> caseRecords(std::size_t bytes, std::uint32_t seed = 7);

}  // namespace veldtest
