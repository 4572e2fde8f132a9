// Inspection and recovery of compressed data files: the one place that knows
// every rule of the layout, beyond the checks a reader makes on its way.
// An addition to the described library: readers and writers never call it.
// - inspectLayout checks the heading and the table and counts stale bytes
//   (bytes after P + 24 that neither a referenced payload nor the table
//   covers: a crash-safe append leaves them; they are not damage);
// - checkPayloads inflates every payload the table points to;
// - walkPayloads follows the zlib streams from P + 24 on, without a table;
// - planRecovery / recoverFile rebuild the table of a file whose table or
//   heading is lost or damaged, keeping every complete block.
// Nothing read from the file is trusted: every count and size is bounded by
// the file's size and by the buffers before anything is allocated or copied,
// and every walk moves forward, so garbage ends it.
// Thread contract: safe for concurrent use on distinct sources.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VELD_File.h"
#include "compressedLayout.h"
#include "veld_api.h"

namespace veld::inspect {

// Positioned reads of the bytes under inspection.
class VELD_API ByteSource {
public:
    virtual ~ByteSource();
    virtual std::int64_t size() const = 0;
    // Up to n bytes at offset; fewer only at the end, 0 outside the bytes.
    virtual std::uint64_t readAt(void* buffer, std::uint64_t n, std::int64_t offset) = 0;
};

// A file through the library's raw file, opened "rb". Raises DataSourceError
// (1003) when it cannot be opened.
class VELD_API FileSource : public ByteSource {
public:
    explicit FileSource(const std::string& path);
    ~FileSource() override;
    std::int64_t size() const override { return fSize; }
    std::uint64_t readAt(void* buffer, std::uint64_t n, std::int64_t offset) override;
    const std::string& path() const { return fPath; }
    // Lets the file go (so that it can be replaced); later reads answer 0.
    void close();

private:
    std::string fPath;
    RefCountPtr<VELD_File> fFile;
    std::int64_t fSize;
};

// Bytes in memory (not copied: they must outlive the source).
class VELD_API MemorySource : public ByteSource {
public:
    MemorySource(const void* bytes, std::uint64_t size);
    std::int64_t size() const override { return static_cast<std::int64_t>(fSize); }
    std::uint64_t readAt(void* buffer, std::uint64_t n, std::int64_t offset) override;

private:
    const unsigned char* fBytes;
    std::uint64_t fSize;
};

struct Problem {
    std::int64_t block;   // -1 when the problem is not one block's
    std::int64_t offset;  // file offset where it lies
    std::string text;     // a whole sentence: "block 3 at offset 1201024 inflates to ..."
};

struct Layout {
    std::int64_t fileSize = 0;
    std::int64_t row0 = 0;
    bool swap = false;

    bool headingRead = false;  // 24 bytes at row0 and their first field is row0
    compressionHeading heading{};
    bool tableLoaded = false;  // first record sound and every record within the table
    blockInfo first{};
    std::vector<blockInfo> blocks;

    // Derived from the records (meaningful when tableLoaded).
    std::int64_t dataEnd = 0;        // uncompressed end of the data
    std::int64_t payloadEnd = 0;     // file offset just past the last payload
    std::uint64_t caseBytes = 0;     // sum of orginalSize
    std::uint64_t payloadBytes = 0;  // sum of translateSize
    std::int64_t shortBlocks = 0;    // blocks holding less than the block size
    std::int64_t staleBytes = 0;     // after P + 24, covered by no payload and not the table

    std::vector<Problem> problems;

    bool sound() const { return tableLoaded && problems.empty(); }
    std::int64_t tableEnd() const { return heading._infoPos + heading._size; }
};

// "block 3 at offset 1201024"
VELD_API std::string blockPlace(std::int64_t index, std::int64_t offset);

// Heading, table and every structural rule (no payload is inflated).
VELD_API Layout inspectLayout(ByteSource& source, std::int64_t row0, bool swap);

// Called with the uncompressed bytes of each block as it is judged.
using ProgressFn = std::function<void(std::uint64_t)>;

// Inflates every payload the table points to and adds a problem for each one
// that is not one complete zlib stream (checksum verified) inflating to its
// recorded size. With threads >= 2 a payload inflates on a second thread while
// the next one is read; the problems are the same.
VELD_API void checkPayloads(Layout& layout, ByteSource& source, int threads,
                            const ProgressFn& progress = {});

// The blocks found by following the zlib streams from row0 + 24 on.
struct Walk {
    std::vector<blockInfo> blocks;  // complete streams of 1 to the block size, in file order
    std::int64_t end = 0;           // offset where the walk stopped
    std::uint64_t caseBytes = 0;
    std::string stopped;            // why it stopped there ("" when it reached the limit)
};
// Stops at `limit` (the file's end when negative), at the first offset where no
// complete stream of 1 to the block size starts, or where the file ends
// inside a stream.
VELD_API Walk walkPayloads(ByteSource& source, std::int64_t row0, std::int64_t limit = -1);

// The row-0 position: the first offset P > 0 whose 8 bytes hold P and whose
// heading's table checks out. When there is none, *nearMiss (if given) says
// why the first offset that holds its own position does not qualify, and
// *nearMissAt is that offset (-1 when there is none).
VELD_API std::optional<std::int64_t> findRow0(ByteSource& source, bool swap, std::string* nearMiss = nullptr,
                                              std::int64_t* nearMissAt = nullptr);
// For a file without a heading (a pack that never finished): the first offset
// P > 0 where 24 zero bytes are followed by a complete zlib stream.
VELD_API std::optional<std::int64_t> findUnfinishedRow0(ByteSource& source);

// What recovery keeps and what it loses.
struct RecoveryPlan {
    std::int64_t row0 = 0;
    bool swap = false;
    bool sound = false;              // heading, table and every payload are fine: nothing to do
    bool fromTable = false;          // the blocks come from the file's own table, else from a walk
    std::vector<blockInfo> blocks;   // in the input file, in order
    std::uint64_t caseBytes = 0;     // kept
    std::int64_t damageOffset = -1;  // file offset where the damage starts (-1: none)
    std::string damage;              // what was found there
    // What the damaged table still claims beyond what is kept, when its first
    // record can be read (-1: unknown, as for a file without a table).
    std::int64_t lostBlocks = -1;
    std::int64_t lostCaseBytes = -1;
};

// Finds the longest run of complete blocks from row0 on: the table's records
// while each one's payload is sound, or the payload walk, whichever keeps
// more case data.
VELD_API RecoveryPlan planRecovery(ByteSource& source, std::int64_t row0, bool swap);

// Writes the dictionary part (bytes 0 to row0 - 1), the kept payloads back to
// back from row0 + 24, their table and the heading, in native byte order, to
// `output` under a temporary name beside it, renamed into place once complete.
// On failure the temporary file is removed and the error raised
// (DataSourceError naming the file). Returns the new file's size.
VELD_API std::int64_t writeRecovered(const RecoveryPlan& plan, ByteSource& source,
                                     const std::string& output);

// The temporary name writeRecovered uses for `output`.
VELD_API std::string recoveryTempName(const std::string& output);

}  // namespace veld::inspect
