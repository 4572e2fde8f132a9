// Rewriting the heading of a shadow-paged append so that a power cut at any
// moment leaves a heading that reaches a whole table. A disk writes a 512-byte
// sector whole or not at all, but a write that spans two sectors may land in
// part. So only the heading bytes that change are written, and when they lie
// on both sides of a sector boundary they go as two writes, each inside one
// sector, with a sync between them. A table longer than its records need
// still reads; that makes the order safe: the part in the higher sector holds
// the table length (which only grows) and, at most, the high bytes of the
// table offset, so it goes first, while the old offset still points at the
// old table. Where the boundary splits the offset, placeTable puts the new
// table where only one side of the offset has to change.
// Thread contract: safe for concurrent use (pure functions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veld::heading {

constexpr std::int64_t kSectorSize = 512;

// Heading bytes [from, from + count) go to file offset P + from.
struct HeadingWrite {
    std::size_t from;
    std::size_t count;
};

// The writes that turn the 24 heading bytes `before` into `after` at P, in
// the order they must reach the disk; empty when nothing changes.
std::vector<HeadingWrite> stepsBetween(std::int64_t P, const unsigned char* before, const unsigned char* after);

// How many low bytes of the table-offset field lie before a sector boundary
// that falls inside the field (1 to 7), or 0 when the field is in one sector.
int offsetBytesBeforeBoundary(std::int64_t P);

struct TablePlace {
    std::int64_t tablePos;
    // Payloads written from tablePos on must move to the end first.
    bool movePayloads;
};

// Where the new table of a shadow-paged append goes: at `end` (the end of the
// new payloads) when that changes the offset field on one side of its sector
// boundary only. Otherwise at shadowStart, in the old table's range of the
// high bytes, with the payloads there moved behind the others; and when even
// shadowStart is past that range, beyond `end` at an offset whose low bytes
// equal the old table's (the gap between is never written).
TablePlace placeTable(std::int64_t P, std::int64_t oldTablePos, std::int64_t shadowStart, std::int64_t end);

}  // namespace veld::heading
