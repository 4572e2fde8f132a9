// Reads a compressed data file's heading and position-info table with the
// raw file and the layout's decode functions, and checks every rule of the
// layout itself, so that info and verify can say exactly what is wrong and
// where (block number and file offset). Nothing read from the file is
// trusted: every count and size is bounded by the file's size and by the
// buffers before anything is allocated or copied.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VELD_File.h"
#include "VELD_RefCntObject.h"
#include "compressedLayout.h"

namespace veldcli {

class Progress;

// Positioned reads of one file through the library's raw file.
class RawReader {
public:
    explicit RawReader(const std::string& path);  // raises CliError when it cannot open
    std::int64_t size() const { return fSize; }
    // Reads up to n bytes at offset; fewer only at the end of the file.
    std::uint64_t readAt(void* buffer, std::uint64_t n, std::int64_t offset);
    const std::string& path() const { return fPath; }

private:
    std::string fPath;
    RefCountPtr<VELD_File> fFile;
    std::int64_t fSize;
};

struct Problem {
    std::int64_t block;   // -1 when the problem is not one block's
    std::int64_t offset;  // file offset where it lies
    std::string text;     // a whole sentence: "block 3 at offset 1201024 inflates to ..."
};

struct Layout {
    std::string path;
    std::int64_t fileSize = 0;
    std::int64_t row0 = 0;
    bool swap = false;

    bool headingRead = false;  // 24 bytes at row0 and their first field is row0
    compressionHeading heading{};
    bool tableLoaded = false;  // first record sound and every record within the table
    blockInfo first{};
    std::vector<blockInfo> blocks;

    // Derived from the records (meaningful when tableLoaded).
    std::int64_t dataEnd = 0;       // uncompressed end of the data
    std::int64_t payloadEnd = 0;    // file offset just past the last payload
    std::uint64_t caseBytes = 0;    // sum of orginalSize
    std::uint64_t payloadBytes = 0; // sum of translateSize
    std::int64_t shortBlocks = 0;   // blocks holding less than the block size

    std::vector<Problem> problems;

    bool sound() const { return tableLoaded && problems.empty(); }
    std::int64_t tableEnd() const { return heading._infoPos + heading._size; }
};

// Heading, table and every structural rule (no payload is inflated).
Layout inspectLayout(RawReader& file, std::int64_t row0, bool swap);

// Inflates every payload the table points to and adds a problem for each one
// that is not one complete zlib stream inflating to its recorded size. With
// threads >= 2 the payloads inflate on a second thread while the next is read.
void checkPayloads(Layout& layout, RawReader& file, int threads, Progress* progress);

// For a file whose table cannot be used (cut off, damaged): walks the zlib
// streams from row0 + 24 on and reports where the file ends inside a payload
// or a payload stops inflating. Returns how many whole payloads it walked.
std::int64_t scanPayloads(Layout& layout, RawReader& file);

// The row-0 position: the given one, or else the first offset P > 0 whose 8
// bytes hold P and whose heading's table checks out. Raises CliError with
// the usage status when there is none.
std::int64_t resolveRow0(RawReader& file, std::optional<std::int64_t> given, bool swap);

// Inspects the layout and raises CliError (damaged) unless it is sound.
Layout requireSoundLayout(RawReader& file, std::int64_t row0, bool swap);

// Inside a catch block for a failed check while the stream read the file:
// finds the damaged block itself and raises CliError naming it, with the
// library's own check text after it.
[[noreturn]] void rethrowNamingBlock(const std::string& path, std::int64_t row0, bool swap);

// "block 3 at offset 1201024"
std::string blockPlace(std::int64_t index, std::int64_t offset);

}  // namespace veldcli
