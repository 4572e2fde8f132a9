#include "blockPayload.h"

#include "check.h"

namespace veld::blockio {

std::string describeBlock(const blockInfo& bInfo) {
    return "block at position " + std::to_string(bInfo.orginalPos) + " (payload of " +
           std::to_string(bInfo.translateSize) + " bytes at offset " +
           std::to_string(bInfo.translatePos) + ")";
}

void checkRecordFits(const blockInfo& bInfo, std::int64_t destRoom, std::int64_t payloadRoom) {
    VELD_CHECK_AT(bInfo.orginalSize >= 1 && bInfo.orginalSize <= destRoom, describeBlock(bInfo));
    VELD_CHECK_AT(bInfo.translateSize >= 0 && bInfo.translateSize <= payloadRoom,
                  describeBlock(bInfo));
}

std::uint64_t inflateBlock(BlockCodec& codec, const blockInfo& bInfo, const unsigned char* payload,
                           std::uint64_t payloadBytes, unsigned char* dest, std::uint64_t destRoom) {
    InflateOutcome seen;
    if (codec.decompressExact(payload, payloadBytes, dest, destRoom,
                              static_cast<std::uint64_t>(bInfo.orginalSize), &seen))
        return seen.produced;
    // A stream that breaks off, fails its checksum or leaves bytes over does not
    // decompress, whatever it produced; a complete stream of the wrong length
    // contradicts its record.
    const bool complete = seen.streamEnded && seen.consumed == payloadBytes;
    const std::uint64_t ret = complete ? seen.produced : 0;
    VELD_CHECK_AT(ret!= 0, describeBlock(bInfo) + " is not one complete zlib stream (" +
                               std::to_string(payloadBytes) + " bytes read, " + std::to_string(seen.produced) +
                               " inflated)");
    const std::int64_t outCount = static_cast<std::int64_t>(ret);
    VELD_CHECK_AT(outCount == bInfo.orginalSize,
                  describeBlock(bInfo) + " inflates to " + std::to_string(outCount) + " bytes, not " +
                      std::to_string(bInfo.orginalSize));
    return ret;  // not reached: the codec refused only for one of the above
}

std::uint64_t fetchBlockBytes(VELD_File& file, BlockCodec& codec, const blockInfo& bInfo,
                              unsigned char* payloadBuf, std::int64_t payloadRoom,
                              unsigned char* dest, std::int64_t destRoom, Fetch who) {
    checkRecordFits(bInfo, destRoom, payloadRoom);
    const std::uint64_t got =
        readPayload(file, payloadBuf, static_cast<std::uint64_t>(bInfo.translateSize), bInfo.translatePos, who);
    return inflateBlock(codec, bInfo, payloadBuf, got, dest, static_cast<std::uint64_t>(destRoom));
}

std::uint64_t readPayload(VELD_File& file, void* buffer, std::uint64_t size, std::int64_t offset, Fetch who) {
    return who == Fetch::Ahead ? file.ReadAhead(buffer, size, offset) : file.Read(buffer, size, offset);
}

}  // namespace veld::blockio
