// Reading one block back: checks a record against the buffers it will fill,
// reads its payload and inflates it strictly. A damaged block raises
// veld::CheckFailure whose detail names the block; its bytes are never good data.
// Thread contract: safe for concurrent use with distinct buffers and codecs.
#pragma once

#include <cstdint>
#include <string>

#include "BlockCodec.h"
#include "VELD_File.h"
#include "compressedLayout.h"

namespace veld::blockio {

// "block at position 4191208 (payload of 300000 bytes at offset 1201024)"
std::string describeBlock(const blockInfo& bInfo);

// Refuses a record whose uncompressed size does not fit destRoom or whose
// payload does not fit payloadRoom.
void checkRecordFits(const blockInfo& bInfo, std::int64_t destRoom, std::int64_t payloadRoom);

// Inflates payloadBytes bytes of payload into dest (destRoom bytes); the result
// must be one complete stream of exactly bInfo.orginalSize bytes. Returns that count.
std::uint64_t inflateBlock(BlockCodec& codec, const blockInfo& bInfo, const unsigned char* payload,
                           std::uint64_t payloadBytes, unsigned char* dest, std::uint64_t destRoom);

// Who wants a block: its caller, or a worker reading ahead, whose failed
// read must leave the raw file as it was (VELD_File::ReadAhead).
enum class Fetch { Requested, Ahead };

// Reads and inflates the block of bInfo into dest through payloadBuf
// (payloadRoom bytes). A short read shows up as an incomplete payload.
std::uint64_t fetchBlockBytes(VELD_File& file, BlockCodec& codec, const blockInfo& bInfo,
                              unsigned char* payloadBuf, std::int64_t payloadRoom,
                              unsigned char* dest, std::int64_t destRoom, Fetch who);

// The payload read of a fetch: ReadAhead when reading ahead.
std::uint64_t readPayload(VELD_File& file, void* buffer, std::uint64_t size, std::int64_t offset, Fetch who);

}  // namespace veld::blockio
