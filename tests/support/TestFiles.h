// Shared helpers for the test programs: a per-test temporary directory, small
// file utilities, and the outcome of a call that should fail.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class VELD_File;
class VELD_FileStream;

namespace veldtest {

using Bytes = std::vector<unsigned char>;

// A fresh directory for one test, removed again when the test ends.
class TempDir {
public:
    // Under base when given (e.g. a memory file system), else the system's temporary directory.
    explicit TempDir(const std::filesystem::path& base = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return fPath; }
    std::string file(const std::string& name) const { return (fPath / name).string(); }

private:
    std::filesystem::path fPath;
};

Bytes readAll(const std::string& path);
void writeAll(const std::string& path, const Bytes& bytes);
// Deterministic bytes that no window or block boundary can hide a mix-up in.
Bytes patternBytes(std::size_t count, std::uint32_t seed = 1);
inline Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}
// base with patch written over it at offset at.
inline Bytes patched(Bytes base, std::size_t at, const Bytes& patch) {
    if (base.size() < at + patch.size()) base.resize(at + patch.size());
    std::copy(patch.begin(), patch.end(), base.begin() + static_cast<std::ptrdiff_t>(at));
    return base;
}

// The exception of type E that f raised, if it raised one.
template <class E>
std::optional<E> raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}
// The text of the check that f failed (its detail in *detail), or "no check failed".
std::string failedCheck(const std::function<void()>& f, std::string* detail = nullptr);
// The code of the veld::DataSourceError that f raised (its errno in *err), or 0.
int raisedCode(const std::function<void()>& f, int* err = nullptr);

// Stream transfers: n bytes from where the stream stands or from offset at;
// bytes written at offset at.
Bytes readN(VELD_FileStream& s, std::size_t n);
Bytes readAt(VELD_FileStream& s, std::int64_t at, std::size_t n);
Bytes readAt(VELD_File& f, std::int64_t at, std::size_t n);
void writeAt(VELD_FileStream& s, std::int64_t at, const Bytes& bytes);
// Reads in pieces until a read gives nothing.
Bytes readToEnd(VELD_FileStream& s, std::size_t piece = 1 << 20);

// Sets a fixed cipher key and switches enciphering on for files made while it lives.
struct Enciphering {
    Enciphering();
    ~Enciphering();
};

}  // namespace veldtest
