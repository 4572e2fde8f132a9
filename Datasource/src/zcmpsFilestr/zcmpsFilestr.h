// The compressed stream: a VELD_FileStream whose case data, from the row-0
// position P on, is stored as independently zlib-compressed blocks with a
// position-info table and a 24-byte heading at P. Written once in order
// (setRow0Pos, Write, Close), read with random access (readFilePosInfo, Seek,
// Read), or appended to (setFileToAppend, Write, Close). Background threads can
// compress behind (setting 1) or decompress ahead (setting 2 or more).
// Errors: raw-file failures pass through as veld::DataSourceError; protocol
// and consistency checks throw veld::CheckFailure; a failed reopen throws
// SystemFileException. The destructor closes but swallows errors: call Close
// yourself to see them.
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
    ~zcmpsFilestr() override;

    void setMultiThread(int n);
    // An addition beyond the described settings: with k >= 1 workers, writing
    // compresses up to k blocks at once and reading inflates up to k blocks
    // ahead, in place of the settings' one-worker objects. The file, the bytes
    // read and the errors are those of setting 0; 0 (the default) keeps the
    // described behaviour. Refused while a thread object is attached.
    void setWorkers(int k);
    void setRow0Pos(std::int64_t P);
    void readFilePosInfo(std::int64_t P, bool swap);
    void setFileToAppend(std::int64_t endpos, bool swap);

    std::uint64_t Read(void* buf, std::uint64_t n) override;
    std::uint64_t Write(const void* buf, std::uint64_t n) override;
    int Seek(std::int64_t offset, SeekDirection dir) override;
    std::int64_t Tell() const override;
    int Flush() const override;
    using VELD_FileStream::Close;
    int Close() override;

private:
    void writeInfoTable();
    void closeWriting();
    // Stops, releases and deletes the attached thread object, even when the
    // worker failed; the worker's failure is raised afterwards.
    void removeIOThread(bool sendEndMark);

    Data* fData;
    bool bIsWriting;
    std::int64_t fFilePos;
};
