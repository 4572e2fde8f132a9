// The block position index: the in-memory form of the position-info table.
// The lookup side answers which block holds an uncompressed position; the
// writing side collects records and builds the table that Close stores.
// Thread contract: findBlock is safe for concurrent use once a table is
// loaded (the cursor is only a hint); everything else one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "compressedLayout.h"

class filePosInfo {
public:
    explicit filePosInfo(std::uint64_t blockSize);
    ~filePosInfo();
    filePosInfo(const filePosInfo&) = delete;
    filePosInfo& operator=(const filePosInfo&) = delete;

    blockInfo findBlock(std::int64_t pos);
    void addBlock(const blockInfo& record);
    void addBlock(std::int64_t orginalPos, std::int32_t orginalSize, std::int64_t translatePos,
                  std::int32_t translateSize);
    blockInfo* makeInfoBuffer(std::uint64_t& length);
    // The table holds tableBytes bytes read from a file; a count that the bytes
    // cannot hold is refused by a check, never used to size a copy. A damaged
    // record is loaded as it is: the reader checks a record (checkRecord) when
    // it uses it, so that it fails only the reads that need its block. A null
    // table changes nothing.
    void loadForRead(const void* table, bool swap, std::uint64_t tableBytes);
    // Refuses a record whose sizes exceed the block buffers or whose ends
    // overflow; `where` names it in the failure's detail.
    static void checkRecord(const blockInfo& record, const std::string& where);
    // True when checkRecord would pass.
    static bool recordUsable(const blockInfo& record);
    // Ends the lookup side; all block records but the last are appended to
    // `blocks`. Returns the last block record, or the first record (orginalPos
    // -100) when there is none. With swap, the caller's table is reversed in
    // place. The table is checked in full first: a refused one changes nothing.
    blockInfo loadForAppend(void* buff, bool swap, std::uint64_t tableBytes);
    // What loadForAppend would return, with the same checks, changing nothing.
    static blockInfo lastRecordOf(const void* table, bool swap, std::uint64_t tableBytes);

    std::uint64_t BlockCount() const { return infoCount; }
    // Number of the block starting at orginalPos, in the loaded table or else
    // among the written blocks; -1 when there is none. For damage reports.
    std::int64_t indexOf(std::int64_t orginalPos) const;
    const std::vector<blockInfo>& WrittenBlocks() const { return blocks; }

private:
    // Lookup in a table with a record whose uncompressed size no block can
    // have, or with records out of order or overlapping.
    blockInfo findInDamagedTable(std::int64_t pos) const;

    std::vector<blockInfo> blocks;
    blockInfo* pOutBuffer;
    blockInfo* pInfoBuffer;
    std::uint64_t infoCount;
    std::uint64_t blockSize;
    std::atomic<std::uint64_t> nextIndex;
    bool bOrdered;  // every loaded record has a size of 1 to the block size and follows the one before
};
