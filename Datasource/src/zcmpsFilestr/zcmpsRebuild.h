// Writing a compressed data file anew from pieces of another: what recovery
// and compaction share. Internal to the inspection units.
// Thread contract: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zcmpsInspect.h"

namespace veld::inspect::detail {

// One block of the new file: a payload copied from the source as it is, or
// (translateSize 0) orginalSize zero bytes compressed anew.
struct Piece {
    std::int64_t orginalPos = 0;
    std::int32_t orginalSize = 0;
    std::int64_t translatePos = 0;
    std::int32_t translateSize = 0;
};

// Writes bytes 0 to row0 - 1 of `source`, the pieces back to back from
// row0 + 24, their table and the heading to `temp`; syncs it; lets the
// source go; renames `temp` to `output`; syncs the directory. On failure
// `temp` is removed and DataSourceError raised naming `output`. Returns the
// new file's size.
std::int64_t rebuildFile(ByteSource& source, std::int64_t row0, const std::vector<Piece>& pieces,
                         const std::string& output, const std::string& temp);

}  // namespace veld::inspect::detail
