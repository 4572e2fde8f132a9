// The abstract sequential byte stream: read, write and seek at a position the
// stream keeps. Thread contract: one thread at a time.
#pragma once

#include <cstdint>

#include "veld_api.h"

class VELD_API VELD_StrBaseIO {
public:
    // Numbered as SEEK_SET, SEEK_CUR and SEEK_END; any other value counts as FromStart.
    enum SeekDirection : std::int32_t { FromStart = 0, FromCurrent = 1, FromEnd = 2 };

    VELD_StrBaseIO() {}
    VELD_StrBaseIO(const VELD_StrBaseIO&) {}
    VELD_StrBaseIO& operator=(const VELD_StrBaseIO&) { return *this; }
    // May raise: a stream's destructor passes on a failure of its last write.
    virtual ~VELD_StrBaseIO() noexcept(false);

    virtual void Clear() = 0;
    virtual int Good() = 0;
    virtual std::uint64_t Read(void* buffer, std::uint64_t size) = 0;
    virtual std::uint64_t Write(const void* buffer, std::uint64_t size) = 0;
    virtual int Seek(std::int64_t offset, SeekDirection direction) = 0;
    virtual std::int64_t Tell() const = 0;
    virtual int EndOfFile() = 0;
};
