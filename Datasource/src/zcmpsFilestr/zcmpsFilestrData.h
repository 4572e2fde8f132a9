// State of one compressed stream: the block buffers, the index, the codec and
// the attached thread object. Internal to the compressed stream.
// Thread contract: one thread at a time (the owning stream's).
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>

#include "BlockCodec.h"
#include "PreIOThreadBase.h"
#include "PreIOThread_Parallel.h"
#include "VELD_File.h"
#include "blockCache.h"
#include "prefixInflater.h"
#include "VELD_FileStream.h"
#include "compressedLayout.h"
#include "filePosInfo.h"
#include "large_memory.h"
#include "zcmpsFilestr.h"
#include "zlibCompressBlock.h"

class zcmpsFilestr::Data {
public:
    explicit Data(VELD_File& file);
    ~Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    // The two block buffers below make this object megabytes large.
    static void* operator new(std::size_t size) { return veld::platform::allocateLarge(size); }
    static void operator delete(void* memory, std::size_t size) { veld::platform::freeLarge(memory, size); }

    void Write(VELD_FileStream::ReadRequest& req);
    void Read(VELD_FileStream::ReadRequest& req);
    // Stores the held blocks, then what fBuffer holds as one block. A block
    // whose store fails stays held (the worker's comes back, see WriteBehind)
    // and is stored again, unchanged, by the next Write, Flush or Close.
    void storeBlock();
    // Compresses and writes (or hands over) n bytes at src, the block at fpos.
    void storeBuffered(const unsigned char* src, std::uint64_t n);
    // Compresses n bytes at src, the block at position at, and writes its
    // payload at fWritePos on this thread.
    void storeInline(const unsigned char* src, std::uint64_t n, std::int64_t at);
    // After a failed store: a write-behind worker is stopped and removed, and
    // the blocks it did not store are held. Raises nothing.
    void keepWhatFailed();
    // Stops and removes the write-behind worker; what it did not store is
    // held, and the stream stores the rest itself from fWritePos. Raises the
    // worker's failure.
    void detachWriter();
    // Forgets every held block (a new write, or an abandoned one).
    void forgetHeld();
    bool holdsBlocks() const { return bBufferHeld || !fHeld.empty(); }
    bool loadBlock(std::int64_t pos);
    // Reads and inflates a block's payload into dest (room for a block); the
    // count comes out exactly the record's orginalSize or a check fails naming
    // the block. The appender words its count check differently from the reader.
    std::uint64_t inflateRecord(const blockInfo& record, bool appending, unsigned char* dest);
    std::uint64_t inflateRecord(const blockInfo& record, bool appending) {
        return inflateRecord(record, appending, fBuffer);
    }
    // The block through the read-ahead object (setting 2 or more) into dest;
    // false when the object refused it, and the block is read here instead.
    bool readThroughThread(const blockInfo& record, unsigned char* dest);
    // Bytes of the loaded block (reading).
    std::uint64_t loadedLength() const {
        return static_cast<std::uint64_t>(fpCurBuff - fBlockBase) + availBuffSize;
    }
    bool holds(std::int64_t pos) const {
        return fpos != -1 && pos >= fpos && pos < fpos + static_cast<std::int64_t>(loadedLength());
    }
    // Moves the read point inside the loaded block: a seek there costs no reload.
    void placeAt(std::int64_t pos);
    // Inflates the loaded block up to `end` bytes from its start, and to the
    // stream's end with its checksum once `end` reaches the block's end. A
    // failure is judged as a whole-block read judges it (same words).
    void ensureInflated(std::uint64_t end);
    // Reads the loaded block's payload and starts inflating it from its start.
    void startInflating();
    // Inflates the loaded block whole with the stream's codec, or fails naming it.
    void inflateWhole();
    // The loaded block from pos to its end, whole and verified, lent to the caller.
    const unsigned char* borrow(std::int64_t pos, std::uint64_t& length);
    // Forgets the loaded block (reading); the next Read loads it again.
    void forgetBlock() {
        fpos = -1;
        availBuffSize = 0;
        fBlockBase = fBuffer;
        fpCurBuff = fBuffer;
        fReady = 0;
        fEntry = nullptr;
        bInflating = false;
    }
    // A damaged record fails here, when its block is needed, naming the block.
    void checkRecord(const blockInfo& record) const {
        if (!filePosInfo::recordUsable(record)) filePosInfo::checkRecord(record, describe(record));
    }
    // "block 3 at offset 1201024": block number and file offset of a record.
    std::string describe(const blockInfo& record) const;

    unsigned char fBuffer[veld::layout::kBlockSize];
    unsigned char fCmpsBuffer[veld::layout::kMaxPayloadSize];
    std::int64_t fRow0Pos;
    std::int64_t fpos;
    std::int64_t fWritePos;
    VELD_File& pRealFile;
    zlibCompressBlock fCodec;
    filePosInfo* fpPosInfo;
    PreIOThreadBase* fpIOThread;
    unsigned char* fpCurBuff;
    std::uint64_t availBuffSize;
    std::int32_t fMultiThread;
    std::int32_t fWorkers = 0;                              // see setWorkers
    PreIOThread_Par_R_D* fParallelReader = nullptr;         // fpIOThread, when it is one
    unsigned char* fBlockBase = fBuffer;                    // the loaded block: fBuffer, a reader's slot or a cache entry

    // Reading beyond the described steps: the loaded block's record and how
    // much of it is inflated (a read inflates only as far as it needs), the
    // engine that goes on from there, the cache of recent blocks, and where
    // the block loaded last ended (the one-worker object serves reads in order).
    blockInfo fRecord{};
    std::uint64_t fReady = 0;
    bool bEarlyStop = false;  // see setEarlyStop
    bool bInflating = false;  // fPrefix is inflating the loaded block's payload from fCmpsBuffer
    veld::BlockEngine fPrefixEngine = veld::prefixEngine();  // chosen when the stream is made
    std::unique_ptr<veld::PrefixInflater> fPrefix;
    veld::BlockCache fCache;
    veld::BlockCache::Entry* fEntry = nullptr;  // the loaded block's cache entry, or null
    std::int64_t fLastEnd = -1;

    // Keeps the raw file alive after Close hands the base part a new one.
    RefCountPtr<VELD_File> fFileKeeper;
    std::unique_ptr<veld::BlockCodec> fStrictCodec;
    std::uint64_t fPayloadRoom;                 // worst case of one stored block
    veld::LargeBuffer fPayload;                 // compression output, fPayloadRoom bytes

    // Writing beyond the described steps: blocks whose store failed, held
    // until stored (a failed worker's, oldest first, then fBuffer's own when
    // bBufferHeld: stored as it is before more bytes join it); whether a failed
    // worker was removed (the payloads then end at fWritePos); where the table
    // goes once chosen (a retried Close writes it there again), how far Close
    // has come, and for a shadow-paged append the first offset past everything
    // the old heading reaches (-1 when appending in place).
    struct HeldBlock {
        veld::LargeBuffer bytes;
        std::uint64_t size;
        std::int64_t fpos;
    };
    std::deque<HeldBlock> fHeld;
    bool bBufferHeld = false;
    bool bWriterRemoved = false;
    std::int64_t fTablePos = -1;
    bool bClosing = false;  // Close has stored every block; only table and heading remain
    bool bCommitted = false;
    std::int64_t fShadowStart = -1;
    // A shadow-paged append's heading as it stood on disk, and where its table lay.
    unsigned char fOldHeading[veld::layout::kHeadingSize] = {};
    std::int64_t fOldTablePos = -1;
    std::int64_t fOldFileSize = -1;
    // The new heading once Close has begun to write it (all zero before).
    unsigned char fNewHeading[veld::layout::kHeadingSize] = {};
    bool bHeadingStarted = false;

    // Shadow paging at Close (zcmpsFilestrShadow.cpp): where the new table of
    // `length` bytes goes, with any payloads in its way moved behind the others
    // first; then the heading, in steps that no power cut can tear.
    std::int64_t placeShadowTable(std::uint64_t length);
    void writeShadowHeading(const compressionHeading& heading);
    // Abandoning a shadow-paged append: the old heading back (if Close had
    // begun to change it) and the file cut to its old length, each on the
    // disk before the next. Gives up quietly at the first failure: every
    // state on the way reads as before or as after.
    void undoShadowAppend() noexcept;
};

// Starts a thread object and hands it back; it is attached only once its
// workers run (a request to an object without one would wait for ever), and
// deleted when it cannot start, so the stream then works inline.
template <class ThreadObject>
ThreadObject* startedThreadObject(ThreadObject* object, bool read) {
    std::unique_ptr<ThreadObject> owned(object);
    owned->initThread(read);
    owned->startThread();
    return owned.release();
}
