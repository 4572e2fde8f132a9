// What the program adds to the library's inspection: opening a file with the
// program's own error words, finding the row-0 position or saying how to give
// it, and turning a damaged layout into the program's error line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "zcmpsInspect.h"

namespace veldcli {

using veld::inspect::Layout;
using veld::inspect::Problem;
using veld::inspect::blockPlace;
using veld::inspect::checkPayloads;
using veld::inspect::inspectLayout;

// A file opened for inspection; raises CliError when it cannot be opened.
class RawReader : public veld::inspect::FileSource {
public:
    explicit RawReader(const std::string& path);
};

// The row-0 position: the given one, or else the first offset P > 0 whose 8
// bytes hold P and whose heading's table checks out. Raises CliError with
// the usage status when there is none.
std::int64_t resolveRow0(RawReader& file, std::optional<std::int64_t> given, bool swap);

// Inspects the layout and raises CliError (damaged) unless it is sound.
Layout requireSoundLayout(RawReader& file, std::int64_t row0, bool swap);

// Inside a catch block for a failed check while the stream read the file:
// finds the damaged block itself and raises CliError naming it, with the
// library's own check text after it.
[[noreturn]] void rethrowNamingBlock(const std::string& path, std::int64_t row0, bool swap);

}  // namespace veldcli
