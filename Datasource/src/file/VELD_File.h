// The raw file: positioned 64-bit reads and writes on one C-runtime
// descriptor, optionally enciphered in 16-byte blocks. Failures clear bGood
// and raise veld::DataSourceError (1002 writing/closing, 1003 reading).
// A write moves every byte or raises; a zero-byte Write returns 0. A failed
// Close leaves the file open: later transfers raise, and Close then forgets it.
// While one VELD_File has a file open for writing no other open of it succeeds;
// opens for reading admit each other.
// Enciphered writes away from the held-back bytes lose nothing (beyond the
// described file, which would misplace them): a write after a gap first fills
// the gap with zeros, which read back as a plain file's gap does; a write
// before them first writes their block out with its filler, as
// FinishEncryption does. A write that neither continues the data nor starts
// at a multiple of 16 cannot be enciphered in place and raises 1002 (EINVAL)
// with DataSourceError::detail() naming that rule.
// Thread contract: safe for concurrent use (Open, Read, Write, Size, Close,
// Commit and FinishEncryption serialise on the file's own mutex).
#pragma once

#include <cstdint>
#include <string>

#include "ExtNameStr.h"
#include "VELD_RefCntObject.h"
#include "threading.h"
#include "veld_api.h"

constexpr int CIPHER_BLOCK_SIZE = 16;

// Sets the process-wide keep-encrypt switch; affects files constructed afterwards.
VELD_API void SetKeepEncrypt(bool keep);

class VELD_API VELD_File : public VELD_RefCntObject {
public:
    VELD_File();
    explicit VELD_File(bool encrypt);
    VELD_File(const VELD_File&);  // forbidden: fails its check
    VELD_File& operator=(const VELD_File&) = delete;
    ~VELD_File() override;

    // fopen-style mode; returns false (raising nothing) when the file cannot be opened.
    bool Open(const ExtNameStr& name, const char* mode);
    int Close();
    std::uint64_t Read(void* buffer, std::uint64_t byteSize, std::int64_t byteOffset);
    // Read for a read-ahead, beyond the described file: raises as Read does
    // but leaves bGood, bEof and fCurPos as they were, since nobody has asked
    // for those bytes yet (the request that wants them reads them again).
    std::uint64_t ReadAhead(void* buffer, std::uint64_t byteSize, std::int64_t byteOffset);
    // A request served from bytes read ahead: fCurPos and bEof become what
    // Read of those n bytes at byteOffset would have left.
    void ServedAhead(std::int64_t byteOffset, std::uint64_t n);
    std::uint64_t Write(const void* buffer, std::uint64_t byteSize, std::int64_t byteOffset);
    std::int64_t Size() const;
    // Beyond the described raw file: writes through to the disk what the
    // system holds for this file (_commit / fsync); raises 1002 when it cannot.
    // Bytes an enciphered writer holds back stay held back.
    void Commit();
    bool IsOpen() const { return fHandle != -1; }
    // Writes the pending partial cipher block (filled) and the closing bytes.
    int FinishEncryption();

    bool IsEncrypted() const { return bEncrypt; }
    bool IsEof() const { return bEof; }
    int Handle() const { return fHandle; }
    int PendingSize() const { return fPendingSize; }
    int PadSize() const { return fPadSize; }

private:
    std::uint64_t WriteEncrypted(const void* buffer, std::uint64_t byteSize, std::int64_t byteOffset);
    std::uint64_t ReadEncrypted(void* buffer, std::uint64_t byteSize, std::int64_t byteOffset);
    void WriteCipherOutput(unsigned char* out, int length);
    void WriteClosingBytes();
    void WritePendingBlock();
    void FillWithZeros(std::int64_t from, std::int64_t to);
    [[noreturn]] void FailRule(int code, const char* rule);
    void SeekDisk(std::int64_t offset, int code);
    void RequireDescriptor(int code);
    [[noreturn]] void Fail(int code);

    mutable sfMutex fMutex;

public:
    std::int64_t fCurPos;  // where the next sequential request starts (data offset)
    ExtNameStr fName;
    std::string fMode;

private:
    int fHandle;

public:
    bool bGood;

private:
    bool bEof;
    bool bEncrypt;
    bool bEncryptStarted;
    unsigned char* pBlockBuf;
    int fPendingSize;
    int fPadSize;
    // Where the descriptor's file pointer stands. For a plain file it equals
    // fCurPos, except after a transfer that failed after its seek (transfers
    // compare with this one, so they seek again). For an enciphered writer it
    // stands fPendingSize bytes short of fCurPos, at the end of the last whole
    // block: Size and reads return it there, so that held-back bytes never
    // shift the next block.
    mutable std::int64_t fDiskPos;
    // Data offset of pBlockBuf[0] while bytes are pending.
    std::int64_t fPendingPos;
    // Set under fMutex while ReadAhead runs: failures leave bGood alone.
    bool bReadingAhead = false;
    // A close failed: the file counts as open (transfers raise, Size answers
    // -1) until Close forgets it, but its released descriptor is never touched.
    bool bDescriptorLost;
};
