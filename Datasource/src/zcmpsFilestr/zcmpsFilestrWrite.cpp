// Writing a compressed part: blocks gather in fBuffer, each full buffer (and
// the partial one at Flush or Close) becomes one payload; Close writes the
// position-info table and then the heading, which a reader relies on last.
#include <algorithm>
#include <cstring>
#include <exception>

#include "PreIOThread_W_C.h"
#include "blockStoreRule.h"
#include "check.h"
#include "zcmpsFilestr.h"
#include "zcmpsFilestrData.h"

using veld::layout::kBlockSize;
using veld::layout::kHeadingSize;

namespace {
constexpr const char* kSourceFile = "Datasource\\src\\zcmpsFilestr";
constexpr std::int32_t kReopenError = 1201;
}  // namespace

void zcmpsFilestr::setRow0Pos(std::int64_t P) {
    // A heading at 0 or before names no dictionary part; no reader accepts it.
    VELD_CHECK(P > 0 && "the row-0 position follows a dictionary part");
    // Reopening under a reader's worker races with its reads; a second writer
    // would leave the first one running without its end mark.
    VELD_CHECK(fData->fpIOThread == 0);
    VELD_FileStream::Close();
    if (!fData->pRealFile.Open(GetNameStr(), "r+b"))
        throw SystemFileException(kReopenError, "fData->pRealFile.Open(GetNameStr(), \"r+b\")",
                                  kSourceFile, 468, true);
    bIsWriting = true;
    fData->forgetHeld();
    fData->fTablePos = -1;
    fData->bCommitted = false;
    fData->bClosing = false;
    fData->fShadowStart = -1;
    fData->fRow0Pos = P;
    fData->fpos = P;
    fData->fWritePos = P + static_cast<std::int64_t>(kHeadingSize);
    fData->fpCurBuff = fData->fBuffer;
    fData->availBuffSize = kBlockSize;
    if (fData->fWorkers >= 1)
        fData->fpIOThread = startedThreadObject(
            new PreIOThread_Par_W_C(&fData->pRealFile, fData->fpPosInfo, fData->fWorkers, fData->fRow0Pos,
                                    fData->fWritePos),
            false);
    else if (fData->fMultiThread == 1)
        fData->fpIOThread = startedThreadObject(
            new PreIOThread_W_C(&fData->pRealFile, fData->fpPosInfo, kBlockSize, fData->fRow0Pos,
                                fData->fWritePos),
            false);
}

std::uint64_t zcmpsFilestr::Write(const void* buf, std::uint64_t n) {
    VELD_CHECK(bIsWriting == true);
    // The blocks are stored and the worker is gone; only the table is missing.
    VELD_CHECK(!fData->bClosing && "Write after a failed Close");
    if (n == 0) return 0;
    // Blocks whose store failed go first, as they were; failing again takes nothing.
    if (fData->holdsBlocks()) fData->storeBlock();
    ReadRequest req{static_cast<unsigned char*>(const_cast<void*>(buf)), n, fFilePos};
    fData->Write(req);
    return n;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
void zcmpsFilestr::Data::Write(VELD_FileStream::ReadRequest& req) {
    // Writing is strictly sequential: the request must start where the buffered data ends.
    VELD_CHECK((req._pos == fpos + sizeof(fBuffer) - availBuffSize) && "Jumped write in zcmpsFilestr::Data::Write");
    while (req._size > 0) {
        if (availBuffSize == kBlockSize) {
            fpos = req._pos;
            if (req._size >= kBlockSize) {
                // A whole block goes from the caller's bytes, without a stop in fBuffer.
                try {
                    storeBuffered(req._buf, kBlockSize);
                } catch (...) {
                    // Taken and held in fBuffer, as a full fBuffer is after a failed store.
                    std::memcpy(fBuffer, req._buf, kBlockSize);
                    fpCurBuff = fBuffer + kBlockSize;
                    availBuffSize = 0;
                    req.Consume(kBlockSize);
                    bBufferHeld = true;
                    keepWhatFailed();
                    throw;
                }
                fpos += kBlockSize;
                req.Consume(kBlockSize);
                continue;
            }
        }
        const std::uint64_t m = std::min<std::uint64_t>(availBuffSize, req._size);
        std::memcpy(fpCurBuff, req._buf, m);
        fpCurBuff += m;
        availBuffSize -= m;
        req.Consume(m);
        if (availBuffSize == 0) storeBlock();
    }
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void zcmpsFilestr::Data::storeBlock() {
    // A failed worker's blocks come before fBuffer's; each stored one leaves
    // the queue, so a failure here keeps the rest in order.
    while (!fHeld.empty()) {
        const HeldBlock& block = fHeld.front();
        storeInline(block.bytes.get(), block.size, block.fpos);
        fHeld.pop_front();
    }
    const std::uint64_t n = kBlockSize - availBuffSize;
    if (n == 0) {
        bBufferHeld = false;
        return;
    }
    try {
        storeBuffered(fBuffer, n);
    } catch (...) {
        bBufferHeld = true;
        keepWhatFailed();
        throw;
    }
    bBufferHeld = false;
    fpos += static_cast<std::int64_t>(n);
    availBuffSize = kBlockSize;
    fpCurBuff = fBuffer;
}

void zcmpsFilestr::Data::storeBuffered(const unsigned char* src, std::uint64_t n) {
    if (fpIOThread) {
        // Returns once the worker has its own copy; the bytes are free again.
        fpIOThread->writeBlock(src, n, fpos);
    } else {
        storeInline(src, n, fpos);
    }
}

void zcmpsFilestr::Data::storeInline(const unsigned char* src, std::uint64_t n, std::int64_t at) {
    // A block whose payload would exceed the limit is stored as two blocks.
    const veld::StoredBlock stored = veld::compressForStore(*fStrictCodec, src, n, fPayload.get(), fPayloadRoom);
    const std::uint64_t total = stored.totalPayload();
    const std::uint64_t written = pRealFile.Write(fPayload.get(), total, fWritePos);
    VELD_CHECK_AT(written == total, "short write of a block payload at offset " + std::to_string(fWritePos));
    for (int i = 0; i < stored.count; ++i) {
        const veld::StoredPiece& piece = stored.piece[i];
        fpPosInfo->addBlock(at + static_cast<std::int64_t>(piece.inOffset), static_cast<std::int32_t>(piece.inSize),
                            fWritePos + static_cast<std::int64_t>(piece.payloadOffset),
                            static_cast<std::int32_t>(piece.payloadSize));
    }
    fWritePos += static_cast<std::int64_t>(total);
}

void zcmpsFilestr::Data::keepWhatFailed() {
    if (!fpIOThread || !fpIOThread->workerFailed() || !dynamic_cast<WriteBehind*>(fpIOThread)) return;
    try {
        detachWriter();
    } catch (...) {
        // The worker's failure, which the caller is already raising.
    }
}

void zcmpsFilestr::Data::detachWriter() {
    PreIOThreadBase* thread = fpIOThread;
    auto* writer = dynamic_cast<WriteBehind*>(thread);
    VELD_CHECK(writer != 0);
    std::exception_ptr failure;
    try {
        // Sends the end mark if it was not sent; a failed worker gets none.
        thread->stopThread();
    } catch (...) {
        failure = std::current_exception();
    }
    thread->releaseThreads();
    const WriterPosition at = writer->stoppedAt();
    std::int64_t next = at.orginalPos;
    std::deque<HeldBlock> back;
    for (const UnstoredBlock& b : at.unstored) {
        HeldBlock held{veld::LargeBuffer(b.size), b.size, next};
        std::memcpy(held.bytes.get(), b.bytes, b.size);
        back.push_back(std::move(held));
        next += static_cast<std::int64_t>(b.size);
    }
    // The worker's blocks end where fBuffer's begins.
    VELD_CHECK(next == fpos);
    for (HeldBlock& b : back) fHeld.push_back(std::move(b));
    fWritePos = at.translatePos;
    bWriterRemoved = true;
    fpIOThread = nullptr;
    delete thread;
    if (failure) std::rethrow_exception(failure);
}

void zcmpsFilestr::Data::forgetHeld() {
    fHeld.clear();
    bBufferHeld = false;
    bWriterRemoved = false;
}

int zcmpsFilestr::Flush() const {
    if (!bIsWriting) return 1;
    fData->storeBlock();
    return 1;
}

void zcmpsFilestr::closeWriting() {
    Data& d = *fData;
    if (!d.bCommitted) {
        if (!d.bClosing) {
            // A block whose store fails stays held and nothing is committed:
            // the next Close stores it again (a failed worker's come back first).
            Flush();
            if (d.fpIOThread) d.detachWriter();
            // The table goes where the payloads end, as after a worker's end mark.
            if (d.bWriterRemoved) d.pRealFile.Write(d.fBuffer, 0, d.fWritePos);
        }
        // Every block is on disk: what fails from here on is retried by the next Close.
        d.bClosing = true;
        writeInfoTable();
        d.bCommitted = true;
    }
    d.pRealFile.Close();
    bIsWriting = false;
    d.fpos = -1;
    d.availBuffSize = 0;
    d.fpCurBuff = d.fBuffer;
    d.fTablePos = -1;
    d.bCommitted = false;
    d.bClosing = false;
    d.fShadowStart = -1;
    d.forgetHeld();
    ExtNameStr password;
    if (!VELD_FileStream::Open(GetNameStr(), password, "rb"))
        throw SystemFileException(kReopenError, "VELD_FileStream::Open(GetNameStr(), password, \"rb\")",
                                  kSourceFile, 401, true);
}

void zcmpsFilestr::writeInfoTable() {
    Data& d = *fData;
    std::uint64_t stLength = 0;
    blockInfo* table = d.fpPosInfo->makeInfoBuffer(stLength);
    VELD_CHECK(stLength!=0);
    VELD_CHECK(fData->pRealFile.IsOpen() == true);
    VELD_CHECK(fData->fpIOThread == 0);
    // The table goes where the last payload ended, never over the heading, and
    // when shadow paging never over what the old heading still reaches. Chosen
    // once, so that a retried Close writes it to the same place.
    if (d.fTablePos < 0) {
        const std::int64_t firstPayload = d.fRow0Pos + static_cast<std::int64_t>(kHeadingSize);
        d.fTablePos = std::max({d.pRealFile.fCurPos, firstPayload, d.fShadowStart});
    }
    const std::int64_t tablePos = d.fTablePos;
    const std::uint64_t ret = d.pRealFile.Write(table, stLength, tablePos);
    VELD_CHECK(ret == stLength);
    // Shadow paging: payloads and table reach the disk before the heading that
    // makes them the file's, and the heading before Close reports success.
    const bool shadow = d.fShadowStart >= 0;
    if (shadow) d.pRealFile.Commit();

    compressionHeading heading{d.fRow0Pos, tablePos, static_cast<std::int64_t>(stLength)};
    unsigned char bytes[kHeadingSize];
    veld::layout::encodeHeading(heading, bytes);
    const std::uint64_t headingWritten = d.pRealFile.Write(bytes, kHeadingSize, d.fRow0Pos);
    VELD_CHECK(headingWritten == sizeof(compressionHeading));
    if (shadow) d.pRealFile.Commit();
}
