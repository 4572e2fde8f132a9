// The compressed stream: a VELD_FileStream whose case data, from the row-0
// position P on, is stored as independently zlib-compressed blocks with a
// position-info table and a 24-byte heading at P. Written once in order
// (setRow0Pos, Write, Close), read with random access (readFilePosInfo, Seek,
// Read), or appended to (setFileToAppend, Write, Close). Background threads can
// compress behind (setting 1) or decompress ahead (setting 2 or more).
// Errors: raw-file failures pass through as veld::DataSourceError; protocol
// and consistency checks throw veld::CheckFailure; a failed reopen throws
// SystemFileException.
//
// Failed writes. A writing Close that fails once every block is stored (the
// table, the heading or the final close refused) leaves the stream writing:
// a later Close writes them again and finishes the file. A failure while a
// block is stored (in Write, Flush or Close, on this thread or the worker's)
// loses that block, so the stream cannot be finished any more: every later
// Write, Flush and Close raises that failure again and writes nothing.
// Either way the stream stays writing until it is finished or abandoned.
//
// The destructor closes, and an error of that Close leaves the destructor
// (it is noexcept(false)) unless another exception is already unwinding the
// stack, in which case it is dropped. So a stream that may fail must not be
// destroyed where an exception cannot pass (a noexcept function, a container
// that destroys its elements while it unwinds): Close or Abandon it first.
//
// Beyond the described behaviour (additions; the described calls are
// unchanged and remain the default):
// - setRow0Pos refuses P <= 0 with a check (a file with P <= 0 is unreadable).
// - A failed writing Close stays retryable (above).
// - Abandon discards a write without committing anything.
// - setFileToAppendSafely appends by shadow paging, so that a crash or a
//   failure at any moment leaves the file reading as before or as after; the
//   heading changes a sector at a time (see setFileToAppendSafely).
// Additions when reading: a payload must be one complete zlib stream whose
// Adler-32 holds; a table record is checked when its block is read, so a
// damaged record fails only those reads; a failed read ahead is read again by
// the request that needs it, so every setting fails alike. Off by default:
// early stop, the block cache; and borrowBlock lends a block without a copy.
// Thread contract: one thread at a time.
#pragma once

#include <cstdint>

#include "SystemFileException.h"
#include "VELD_FileStream.h"
#include "veld_api.h"

class VELD_API zcmpsFilestr : public VELD_FileStream {
public:
    class Data;

    explicit zcmpsFilestr(const VELD_FileStream& stream);
    zcmpsFilestr(const zcmpsFilestr&) = delete;
    zcmpsFilestr& operator=(const zcmpsFilestr&) = delete;
    ~zcmpsFilestr() noexcept(false) override;

    void setMultiThread(int n);
    // An addition beyond the described settings: with k >= 1 workers, writing
    // compresses up to k blocks at once and reading inflates up to k blocks
    // ahead, in place of the settings' one-worker objects. The file, the bytes
    // read and the errors are those of setting 0; 0 (the default) keeps the
    // described behaviour. Refused while a thread object is attached. Workers
    // set when the stream turns to appending (after readFilePosInfo) compress
    // the appended blocks.
    void setWorkers(int k);
    void setRow0Pos(std::int64_t P);
    void readFilePosInfo(std::int64_t P, bool swap);
    void setFileToAppend(std::int64_t endpos, bool swap);

    // Addition: appends by shadow paging. Called as setFileToAppend is. New
    // payloads and then the new table go after the current table (over stale
    // bytes of earlier appends, never over anything the heading reaches);
    // Close writes them, syncs, and only then rewrites the 24-byte heading
    // and syncs again. Until the heading is written the file reads as before.
    // Only the heading bytes that change are written; where they lie on both
    // sides of a 512-byte sector boundary they go as two writes, each inside
    // one sector, with a sync between, and the new table goes where its
    // offset changes on one side of the boundary only, so no power cut can
    // tear the heading (headingUpdate.h).
    // Growth is bounded: a short last block whose payload is at most
    // kRewriteLimit bytes is rewritten after the table with the new bytes
    // behind its old ones; a larger one stays where it is as a short block
    // that is not the last, and the new bytes begin a block of their own. Each
    // append therefore leaves at most kRewriteLimit payload bytes plus the old
    // table behind as stale bytes.
    void setFileToAppendSafely(std::int64_t endpos, bool swap);
    static constexpr std::int64_t kRewriteLimit = 64 * 1024;

    // Addition: gives up a write (setRow0Pos or an append) without committing
    // anything: stops any worker, drops the bytes not yet stored, writes no
    // table or heading and closes the raw file; later Close and the
    // destructor do nothing. After setFileToAppendSafely the file is as it
    // was before the append, byte for byte: a heading that Close had begun to
    // rewrite is put back and the file is cut to its old length (each synced;
    // should the disk refuse, the file still reads as before or as after,
    // with stale bytes after its table). After setRow0Pos it has no heading;
    // after setFileToAppend the old table may already be overwritten. Does nothing on a stream that is
    // not writing. Reports nothing: it runs on failure paths.
    void Abandon() noexcept;

    // Beyond the described Read: a failed Read leaves the position as it was,
    // writes no byte of the block that failed, and puts back what it copied
    // before it when that is at most a block (so a Read of at most a block
    // leaves the buffer exactly as it was).
    std::uint64_t Read(void* buf, std::uint64_t n) override;

    // Addition: the bytes from pos to the end of the block that holds pos,
    // lent without a copy (from the stream's block buffer, a worker's slot or
    // the block cache), whole and with the block's Adler-32 checked; length
    // gets their count. Null, with length 0, where no block holds pos (the end
    // of the data). Like Seek(pos) and a Read of those bytes: the same bytes
    // and the same failures at every setting, and the stream then stands at
    // pos + length. Valid until the next call on the stream.
    const unsigned char* borrowBlock(std::int64_t pos, std::uint64_t& length);
    // Addition: with on, a Read inflates a block only as far as its bytes
    // reach and goes on from there at the next Read. The block's Adler-32 lies
    // at its end, so bytes before it come unverified: a read that reaches the
    // block's end (and borrowBlock, which lends it whole) checks the whole
    // block, and a failure to inflate fails in the words of a whole-block
    // read. A read of the start of a block damaged further on therefore
    // succeeds, and damage that still inflates is seen only at the end. Off
    // (the default): every block is inflated whole and checked before a byte
    // of it is copied. Either way every setting gives the same bytes and failures.
    void setEarlyStop(bool on);
    // Addition: keeps up to nBlocks recently read blocks inflated, so that
    // reads near them inflate nothing. Off (0) by default; each block in use
    // costs one block of memory. Only speed changes: the same bytes and failures.
    void setBlockCache(int nBlocks);
    std::uint64_t Write(const void* buf, std::uint64_t n) override;
    int Seek(std::int64_t offset, SeekDirection dir) override;
    std::int64_t Tell() const override;
    int Flush() const override;
    using VELD_FileStream::Close;
    int Close() override;

private:
    void writeInfoTable();
    void closeWriting();
    // The steps setFileToAppend and setFileToAppendSafely share.
    void startAppend(std::int64_t endpos, bool swap, bool safely);
    // Keeps the failure in flight as the reason the stream cannot be finished.
    void loseBlocks();
    // Stops, releases and deletes the attached thread object, even when the
    // worker failed; the worker's failure is raised afterwards.
    void removeIOThread(bool sendEndMark);

    Data* fData;
    bool bIsWriting;
    std::int64_t fFilePos;
};
