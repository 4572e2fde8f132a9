#include "zcmpsFilestrTable.h"

#include <limits>
#include <string>

#include "ThrowError.h"
#include "check.h"

namespace veld {

namespace {

constexpr std::int64_t kMaxTableBytes = std::numeric_limits<std::int32_t>::max();

compressionHeading readHeading(VELD_File& file, std::int64_t P, bool swap) {
    unsigned char bytes[layout::kHeadingSize];
    const std::uint64_t ret = file.Read(bytes, sizeof bytes, P);
    VELD_CHECK_AT(ret == sizeof(compressionHeading),
                  "no compressed heading at offset " + std::to_string(P));
    return layout::decodeHeading(bytes, swap);
}

std::string headingText(const compressionHeading& h, std::int64_t P) {
    return "the heading at offset " + std::to_string(P) + " names " + std::to_string(h._caseStartPos);
}

}  // namespace

compressionHeading readHeadingForRead(VELD_File& file, std::int64_t P, bool swap) {
    const compressionHeading chInfo = readHeading(file, P, swap);
    const std::int64_t posofpos = P;
    VELD_CHECK_AT(posofpos == chInfo._caseStartPos && "Analyze dictionary part error!",
                  headingText(chInfo, P));
    return chInfo;
}

compressionHeading readHeadingForAppend(VELD_File& file, std::int64_t P, bool swap) {
    const compressionHeading chInfo = readHeading(file, P, swap);
    const std::int64_t pos = P;
    VELD_CHECK_AT(pos == chInfo._caseStartPos && "Analyze dictionary part error!",
                  headingText(chInfo, P));
    return chInfo;
}

std::vector<unsigned char> readTable(VELD_File& file, const compressionHeading& chInfo) {
    const std::string where = "table of " + std::to_string(chInfo._size) + " bytes at offset " +
                              std::to_string(chInfo._infoPos);
    // Bound the length by the file before allocating: what the file cannot hold
    // is what a read would have come short of.
    const std::int64_t fileSize = file.Size();
    // Size reports a refused seek only by its answer: the disk refused, the file is not damaged.
    if (fileSize < 0) ThrowError::StringSys("datasrc.err", errcode::kCannotRead, file.fName.GetGeneric().c_str());
    const std::int64_t available =
        chInfo._infoPos >= 0 && chInfo._infoPos <= fileSize ? fileSize - chInfo._infoPos : 0;
    if (chInfo._size < 0 || chInfo._size > available) {
        const std::int64_t ret = available;
        VELD_CHECK_AT(ret == chInfo._size, where + ", file is " + std::to_string(fileSize) + " bytes");
    }
    // One read carries less than 2 GiB; no real table comes near it.
    VELD_CHECK_AT(chInfo._size <= kMaxTableBytes, where);
    std::vector<unsigned char> table(static_cast<std::size_t>(chInfo._size));
    const std::int64_t ret =
        table.empty() ? 0 : static_cast<std::int64_t>(file.Read(table.data(), table.size(), chInfo._infoPos));
    VELD_CHECK_AT(ret == chInfo._size, where);
    return table;
}

}  // namespace veld
