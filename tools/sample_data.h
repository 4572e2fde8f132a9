// Built-in survey data for demo and bench: a dictionary part describing the
// variables, and fixed-width case records as an analysis application keeps
// them (doubles holding integer codes, rounded amounts and the system-missing
// value, and space-padded short strings). Record i is the same bytes in every
// run, so records can be made in pieces and appended later.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldcli {

// The system-missing value of a numeric variable: the lowest finite double.
extern const double kSysMissing;

// Bytes of one case record.
std::size_t sampleRecordSize();

// The dictionary part: variable names, types, labels, value labels and
// missing-value declarations, as text.
std::string sampleDictionary();

// Writes records first .. first + count - 1 to out (count * sampleRecordSize() bytes).
void sampleRecords(std::uint64_t first, std::uint64_t count, unsigned char* out);

// Records covering about `bytes` of case data.
inline std::uint64_t recordsFor(std::uint64_t bytes) { return bytes / sampleRecordSize(); }

}  // namespace veldcli
