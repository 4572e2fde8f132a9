#include "compressedLayout.h"

#include <cstring>

namespace veld::layout {

namespace {

template <typename T>
T reversed(T value) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
        const unsigned char t = bytes[i];
        bytes[i] = bytes[sizeof(T) - 1 - i];
        bytes[sizeof(T) - 1 - i] = t;
    }
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

}  // namespace

compressionHeading decodeHeading(const void* bytes, bool swap) {
    compressionHeading heading;
    std::memcpy(&heading, bytes, kHeadingSize);
    if (swap) reverseHeading(heading);
    return heading;
}

blockInfo decodeRecord(const void* bytes, bool swap) {
    blockInfo record;
    std::memcpy(&record, bytes, kRecordSize);
    if (swap) reverseRecord(record);
    return record;
}

void encodeHeading(const compressionHeading& heading, void* bytes) {
    std::memcpy(bytes, &heading, kHeadingSize);
}

void encodeRecord(const blockInfo& record, void* bytes) { std::memcpy(bytes, &record, kRecordSize); }

void reverseHeading(compressionHeading& heading) {
    heading._caseStartPos = reversed(heading._caseStartPos);
    heading._infoPos = reversed(heading._infoPos);
    heading._size = reversed(heading._size);
}

void reverseRecord(blockInfo& record) {
    record.orginalPos = reversed(record.orginalPos);
    record.translatePos = reversed(record.translatePos);
    record.orginalSize = reversed(record.orginalSize);
    record.translateSize = reversed(record.translateSize);
}

blockInfo firstRecord(std::int32_t blockSize, std::int32_t count) {
    return blockInfo{kFirstRecordMark, 0, blockSize, count};
}

}  // namespace veld::layout
