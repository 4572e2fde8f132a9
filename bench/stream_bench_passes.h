// Whole-file passes in fixed-size pieces, through VELD_FileStream and through
// a plain read(2)/write(2) loop, and a timed comparison of the two.
// Thread contract: one thread at a time per file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldbench {

constexpr std::size_t kPiece = 64 * 1024;

// Each pass moves the whole file in pieces of piece.size() bytes and returns
// the bytes moved. Reading passes leave the last piece in `piece`. Writing
// passes overwrite a file that makeFile made, so that neither way pays for
// truncating (and waiting on the write-back of) the pages the other wrote.
std::uint64_t plainReadPass(const std::string& path, std::vector<unsigned char>& piece);
std::uint64_t streamReadPass(const std::string& path, std::vector<unsigned char>& piece, bool readAhead);
std::uint64_t plainWritePass(const std::string& path, const std::vector<unsigned char>& piece,
                             std::uint64_t bytes);
std::uint64_t streamWritePass(const std::string& path, const std::vector<unsigned char>& piece,
                              std::uint64_t bytes);

// Writes `bytes` bytes of a fixed pattern; false if the file cannot be made.
bool makeFile(const std::string& path, std::uint64_t bytes);

// Bytes per second of each way, best of `rounds` interleaved rounds.
struct StreamComparison {
    double plainRead = 0, streamRead = 0, readAheadRead = 0;
    double plainWrite = 0, streamWrite = 0;
};
StreamComparison compareStreams(const std::string& dir, std::uint64_t bytes, int rounds);

}  // namespace veldbench
