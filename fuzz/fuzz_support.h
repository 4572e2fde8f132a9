// Shared by the fuzz targets: a scratch file per process for inputs that the
// library must read as a file (held in memory, and the library's large
// buffers are kept across inputs, so that an input costs what its bytes
// cost), and the one place that says which exceptions are the library's clean refusals. Anything else escaping a target (or a
// sanitizer report, or a hang) is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "SystemFileException.h"
#include "ThrowError.h"
#include "check.h"

namespace veldfuzz {

// A file held in memory (served by the runtime layer without the kernel),
// replaced on every input.
const std::string& scratchFile();
void writeScratch(const std::uint8_t* data, std::size_t size);
// Reads that touch a byte in [from, to) fail with err (EIO): a bad region.
// An empty range removes it.
void failScratchReads(std::int64_t from, std::int64_t to, int err);
// A real file for outputs that are renamed into place; removed when the process ends.
const std::string& diskScratchFile();

// Runs f; the library's own refusals of a bad input end it quietly.
template <class F>
void refusalsAreFine(F&& f) {
    try {
        f();
    } catch (const veld::CheckFailure&) {
    } catch (const veld::DataSourceError&) {
    } catch (const SystemFileException&) {
    }
}

// A broken promise of the library, as opposed to a refusal: stops the run.
[[noreturn]] void finding(const char* what);

}  // namespace veldfuzz
