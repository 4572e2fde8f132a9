// What the Python module needs to know of a compressed data file before it
// reads it: where the case data starts, in which byte order, where it ends,
// and the block table (Dask's chunks follow it). Also the info fields, which
// are those of `veld info --json`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compressedLayout.h"

namespace veldpy {

struct FileLayout {
    std::string path;
    std::int64_t row0 = 0;
    bool swap = false;
    std::int64_t dataEnd = 0;  // uncompressed size of the whole file
    std::vector<blockInfo> blocks;
};

// Finds row0 as the program does when it is not given, and the byte order
// (native first) when swap is not given; raises DamagedFileError unless the
// table is sound.
FileLayout locate(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap);

// The keys and values of `veld info --json` (with "blocks" when asked).
pybind11::dict info(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap,
                    bool blocks);

// Inflates every payload; the problems found, each a dict with block, offset and text.
pybind11::list verify(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap,
                      int jobs);

// Rebuilds the table of a file whose table or heading is lost or damaged into
// `output`, keeping every complete block; writes nothing when the file is sound.
// What was kept and lost, as a dict.
pybind11::dict recover(const std::string& path, const std::string& output, std::optional<std::int64_t> row0,
                       std::optional<bool> swap);

}  // namespace veldpy
