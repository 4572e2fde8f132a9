// Reading the heading and the position-info table of a finished compressed
// part, with the checks every reader and the appender make.
// Thread contract: one thread at a time per file (the raw file serialises I/O).
#pragma once

#include <cstdint>
#include <vector>

#include "VELD_File.h"
#include "compressedLayout.h"

namespace veld {

// The heading at P, for reading: "ret == sizeof(compressionHeading)" and the
// dictionary-part check with the reader's wording.
compressionHeading readHeadingForRead(VELD_File& file, std::int64_t P, bool swap);
// The same with the appender's wording of the dictionary-part check.
compressionHeading readHeadingForAppend(VELD_File& file, std::int64_t P, bool swap);
// The table bytes; a length the file cannot hold is refused before anything is allocated.
std::vector<unsigned char> readTable(VELD_File& file, const compressionHeading& chInfo);

}  // namespace veld
