// The buffered file stream: one 4,190,208-byte window over a shared raw file,
// with 512-aligned refills, direct transfers for large requests and optional
// read-ahead on a worker thread. Copies share the raw file.
//
// Open lets go of the previous file as Close would: its unwritten bytes are
// written to it and its last cipher block finished, and, when this stream is
// its last owner, it is closed. An error there leaves Open, and the stream
// keeps its old file. The window is then emptied, so nothing of the old file
// is ever served or written into the new one; bEof, bDirty, fpos and the
// switches stay as they were.
// A direct write that overlaps a clean window empties the window, so later
// reads go to the file and no flush can write the older copy back.
// The destructor raises what its last flush or cipher block raises, so a
// stream that goes out of scope on a full disk does not pass for saved. While
// another exception unwinds the stack that failure is dropped instead (two at
// once would end the program); the raw file's bGood is cleared either way.
// Containers and smart pointers (std::vector, std::unique_ptr, shared_ptr)
// destroy in noexcept code, where a raising destructor ends the program: Close
// a stream held that way before letting it go (after a successful Close the
// destructor has nothing left to write).
// A stream never opened has recorded no failure: Good is 1, Clear does nothing.
// ClearAndReset empties the window and drops its unwritten bytes; bDirty and
// fpos keep their values, so Seek(0, FromEnd) still reaches the window's start.
//
// Thread contract: one thread at a time (streams sharing a file may be used
// from different threads; the raw file serialises their transfers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "ExtNameStr.h"
#include "VELD_File.h"
#include "VELD_RefCntObject.h"
#include "VELD_StrBaseIO.h"
#include "veld_api.h"

class multiThreadForFilestr;

// The window of the plain stream, the size of a compressed block and of every
// thread object's buffer: 4 MiB less 4 KiB.
constexpr std::uint64_t VELD_BLOCK_SIZE = 0x3FF000;

class VELD_API VELD_FileStream : public VELD_StrBaseIO {
public:
    // One transfer in progress; consuming bytes advances the stream's own position.
    struct ReadRequest {
        unsigned char* _buf;
        std::uint64_t _size;
        std::int64_t& _pos;

        void Consume(std::uint64_t n) {
            _buf += n;
            _size -= n;
            _pos += static_cast<std::int64_t>(n);
        }
    };

    class VELD_API Data {
    public:
        explicit Data(bool encrypt);
        Data(const Data& other);  // shares the raw file and read-ahead object; empty window
        ~Data();
        Data& operator=(const Data&) = delete;
        void Flush();
        void ReadUnbuffered(ReadRequest& req);
        void ReadFromBuffer(ReadRequest& req);
        void ReadBuffered(ReadRequest& req);
        void ReadDirect(ReadRequest& req);
        void ReadMultiThread(ReadRequest& req);
        void Write(ReadRequest& req);

        bool InWindow(std::int64_t p) const;
        std::int64_t WindowEnd() const { return fpos + (fpEnd - fBuffer); }
        // No offset lies in the window afterwards.
        void EmptyWindow() {
            fpEnd = fBuffer;
            fpos = -1;
        }

        // The window's storage: a recycled block (a fresh one costs a page fault
        // for every 4 KiB), held by pointer so that read-ahead can hand over its
        // block instead of copying it.
        unsigned char* fBuffer;
        unsigned char* fpEnd;
        std::int64_t fpos;
        RefCountPtr<VELD_File> pRealFile;
        bool bDirty;
        bool bEof;
        bool bEncrypt;
        RefCountPtr<multiThreadForFilestr> fReader;
    };

    VELD_FileStream();
    explicit VELD_FileStream(bool encrypt);
    VELD_FileStream(const char* name, const char* mode);
    VELD_FileStream(const char* name, const char* mode, bool encrypt);
    VELD_FileStream(const VELD_FileStream& other);
    VELD_FileStream& operator=(const VELD_FileStream&) = delete;
    ~VELD_FileStream() noexcept(false) override;

    void Clear() override;
    int Good() override;
    std::uint64_t Read(void* buffer, std::uint64_t size) override;
    std::uint64_t Write(const void* buffer, std::uint64_t size) override;
    int Seek(std::int64_t offset, SeekDirection direction) override;
    std::int64_t Tell() const override;
    int EndOfFile() override;

    virtual int Open(const ExtNameStr& name, const ExtNameStr& password, const char* mode);
    virtual int Open(const char* name, const char* password, const char* mode);
    virtual int Open(const ExtNameStr& name, const char* mode);
    virtual int Open(const char* name, const char* mode);
    virtual void ClearAndReset();
    virtual const ExtNameStr& GetNameStr() const;
    virtual int Close() const;
    virtual int Close();
    virtual int Flush() const;
    virtual const char* Name() const;
    virtual unsigned int Footprint() const;

    void EnablePreReading() { fPreReading = 1; }
    void DisablePreReading() { fPreReading = 0; }
    void EnableMultiThreadReading();
    void DisableMultiThreadReading();
    bool IsShared() const;

protected:
    // A destructor's last step (flush, finish, close): its failure leaves the
    // destructor unless another exception is already unwinding the stack, in
    // which case it is dropped. A derived destructor that raises still runs
    // this class's destructor, which then drops its own failure.
    template <class Step>
    static void FinishInDestructor(Step&& step) noexcept(false) {
        if (std::uncaught_exceptions() == 0) {
            step();
            return;
        }
        try {
            step();
        } catch (...) {
        }
    }

    bool DataReady() const;
    VELD_File& GetFile();

private:
    Data* fStreamData;
    std::int32_t fMultiThreadReading;
    std::int32_t fPreReading;
    std::int64_t fPosition;
};
