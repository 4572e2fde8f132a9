// Inspection and recovery of compressed data files: the one place that knows
// every rule of the layout, beyond the checks a reader makes on its way.
// An addition to the described library: readers and writers never call it.
// - inspectLayout checks the heading and the table and counts stale bytes
//   (bytes after P + 24 that neither a referenced payload nor the table
//   covers: a crash-safe append leaves them; they are not damage);
// - checkPayloads inflates every payload the table points to;
// - walkPayloads follows the zlib streams from P + 24 on, without a table;
// - planRecovery / recoverFile rebuild the table of a file whose table or
//   heading is lost or damaged, keeping every sound block;
// - compactFile rewrites a sound file without its stale bytes.
// Nothing read from the file is trusted: every count and size is bounded by
// the file's size and by the buffers before anything is allocated or copied,
// and every walk moves forward, so garbage ends it.
// Thread contract: safe for concurrent use on distinct sources.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
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

// A position-info table found anywhere in the file by its first record
// {-100, 0, 4190208, n}, whatever heading points to it.
struct FoundTable {
    std::int64_t offset = 0;
    std::vector<blockInfo> blocks;  // its n block records
    std::int64_t length() const { return static_cast<std::int64_t>(blocks.size() + 1) * 24; }
};
// Every such table whose n records fit in the file, in file order.
VELD_API std::vector<FoundTable> findTables(ByteSource& source, bool swap);

// How locateRow0 found P.
enum class Row0Clue {
    Heading,          // a heading holding P whose table checks out
    Table,            // a table's first block starts at P, and a zlib stream at P + 24
    OwnPosition,      // 8 bytes holding their own offset, and a zlib stream 24 bytes on
    UnwrittenHeading, // 24 zero bytes before a zlib stream (a pack that never finished)
    FirstStream,      // the first zlib stream of 1 to 4,190,208 bytes in the file
};
struct Row0Found {
    std::int64_t row0 = 0;
    Row0Clue clue = Row0Clue::Heading;
};
// P for recovery: tries the clues in the order above, the first that holds wins.
// `tables` are findTables' answer for the same source.
VELD_API std::optional<Row0Found> locateRow0(ByteSource& source, bool swap, const std::vector<FoundTable>& tables);
// "a heading holding it", ... for reports.
VELD_API std::string row0ClueText(Row0Clue clue);

// Case positions [from, to) that recovery fills with zero bytes, because the
// block that held them is damaged.
struct FilledRange {
    std::int64_t from = 0, to = 0;
    std::int64_t block = -1;   // the damaged block's number in its table (-1: unknown)
    std::int64_t offset = -1;  // its payload's file offset (-1: unknown)
    std::string why;
};

// What recovery keeps and what it loses.
struct RecoveryPlan {
    std::int64_t row0 = 0;
    bool swap = false;
    bool sound = false;              // heading, newest table and every payload are fine: nothing to do
    bool fromTable = false;          // the blocks come from a table, else from a walk over the payloads
    std::int64_t tableOffset = -1;   // that table's offset
    bool fillDamaged = false;
    std::vector<blockInfo> blocks;   // kept, in the input file, in position order
    std::vector<FilledRange> filled; // with fillDamaged: the gaps between kept blocks, filled with zeros
    std::uint64_t caseBytes = 0;     // kept from sound blocks (fills not counted)
    std::int64_t dataEnd = 0;        // end position of the recovered case data
    std::int64_t damageOffset = -1;  // file offset where the damage starts (-1: none)
    std::string damage;              // what was found there
    // What the table still claims beyond what is kept (-1: unknown, as for a
    // file without a usable table).
    std::int64_t lostBlocks = -1;
    std::int64_t lostCaseBytes = -1;
    // Without a table: bytes from damageOffset to the end of the file that no
    // kept block uses.
    std::int64_t unusedBytes = 0;
    // Sound blocks after the damage that the longest run leaves out; counted
    // from a table (which gives their positions, so fillDamaged keeps them),
    // or else found by their zlib streams.
    std::int64_t laterBlocks = 0;
    std::uint64_t laterCaseBytes = 0;
    bool laterPlaced = false;
};

// Finds what can be kept from row0 on. Payloads are inflated once each.
// The newest table that fits row0 (found anywhere, so a torn or stale
// heading does not hide appended data) gives the blocks while each one is
// sound; a walk over the zlib streams from row0 + 24, which steps over the
// stale tables earlier appends left, gives them when that keeps more.
// By default the longest sound run from row0 is kept and later sound blocks
// are counted; with fillDamaged every sound block is kept at its position and
// a damaged block's positions are filled with zero bytes.
VELD_API RecoveryPlan planRecovery(ByteSource& source, std::int64_t row0, bool swap, bool fillDamaged = false);

// Writes the dictionary part (bytes 0 to row0 - 1), the kept payloads back to
// back from row0 + 24 (a filled range as new blocks of zero bytes), their
// table and the heading, in native byte order, to `output` under a temporary
// name beside it; syncs it, renames it into place and syncs the directory.
// On failure the temporary file is removed and the error raised
// (DataSourceError naming `output`). Returns the new file's size.
VELD_API std::int64_t writeRecovered(const RecoveryPlan& plan, ByteSource& source, const std::string& output);

// The temporary name writeRecovered uses for `output`.
VELD_API std::string recoveryTempName(const std::string& output);

// What compaction did.
struct Compaction {
    std::int64_t oldSize = 0, newSize = 0;
    std::int64_t staleBytes = 0;  // removed
    std::int64_t blocks = 0;
};
// Rewrites a file without its stale bytes: the dictionary part, the payloads
// its table reaches, copied as they are, back to back, a new table and the
// heading, in native byte order. Written beside `path` under a temporary name,
// synced, renamed into place, the directory synced; a file without stale bytes
// is left as it is. Raises CompactionRefused when the layout is not sound
// (nothing is written), DataSourceError naming `path` when the disk refuses.
class VELD_API CompactionRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
VELD_API Compaction compactFile(const std::string& path, std::int64_t row0, bool swap);

// The temporary name compactFile uses for `path`.
VELD_API std::string compactionTempName(const std::string& path);

}  // namespace veld::inspect
