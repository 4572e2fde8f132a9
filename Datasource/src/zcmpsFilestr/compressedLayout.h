// The on-disk layout of a compressed data file's case part: the 24-byte
// heading at the row-0 position P, the block payloads from P + 24 on, and the
// position-info table (a first record, then one record per block). Every
// reader and writer of the format encodes and decodes through this unit.
// Integers are stored in the writer's native (little-endian) order; a reader
// told that the file is in the other order reverses each field itself.
// Thread contract: safe for concurrent use (pure functions).
#pragma once

#include <cstddef>
#include <cstdint>

#include "veld_api.h"

struct blockInfo {
    std::int64_t orginalPos;   // uncompressed position of the block's first byte
    std::int64_t translatePos; // file offset of the block's payload
    std::int32_t orginalSize;  // uncompressed byte count, 1 to the block size
    std::int32_t translateSize;// byte count of the payload
};

struct compressionHeading {
    std::int64_t _caseStartPos;  // P, where the heading itself stands
    std::int64_t _infoPos;       // file offset of the position-info table
    std::int64_t _size;          // table length: 24 x (blocks + 1)
};

static_assert(sizeof(blockInfo) == 24, "a block record is three 8-byte slots");
static_assert(offsetof(blockInfo, translatePos) == 8 && offsetof(blockInfo, orginalSize) == 16 &&
                  offsetof(blockInfo, translateSize) == 20,
              "block record fields at 0, 8, 16, 20");
static_assert(sizeof(compressionHeading) == 24, "the heading is three signed 64-bit fields");

namespace veld::layout {

constexpr std::size_t kHeadingSize = 24;  // three signed 64-bit fields
constexpr std::size_t kRecordSize = 24;   // 8 + 8 + 4 + 4
constexpr std::int64_t kFirstRecordMark = -100;  // orginalPos of the table's first record
constexpr std::int64_t kNotFound = -200;         // findBlock's answer when no block holds a position
constexpr std::int32_t kBlockSize = 0x3FF000;    // 4,190,208 uncompressed bytes per full block
// Largest payload a reader accepts: zlib's compressBound of a full block. Our
// writers keep every payload within the block size (a block that would exceed
// it is stored as two halves); other writers may have stored such a block whole.
constexpr std::int64_t kMaxPayloadSize =
    kBlockSize + (kBlockSize >> 12) + (kBlockSize >> 14) + (kBlockSize >> 25) + 13;

// Decoding from a file buffer: memcpy into an aligned record, then reverse if told to.
VELD_API compressionHeading decodeHeading(const void* bytes, bool swap);
VELD_API blockInfo decodeRecord(const void* bytes, bool swap);
// Encoding in native order.
VELD_API void encodeHeading(const compressionHeading& heading, void* bytes);
VELD_API void encodeRecord(const blockInfo& record, void* bytes);

VELD_API void reverseHeading(compressionHeading& heading);
VELD_API void reverseRecord(blockInfo& record);

// The table's first record for a table of `count` block records.
VELD_API blockInfo firstRecord(std::int32_t blockSize, std::int32_t count);
// Byte length of a table holding `count` block records.
constexpr std::int64_t tableLength(std::int64_t count) {
    return static_cast<std::int64_t>(kRecordSize) * (count + 1);
}

}  // namespace veld::layout
