// Shared helpers for the test programs: a per-test temporary directory and
// small file utilities.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace veldtest {

// A fresh directory for one test, removed again when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return fPath; }
    std::string file(const std::string& name) const { return (fPath / name).string(); }

private:
    std::filesystem::path fPath;
};

std::vector<unsigned char> readAll(const std::string& path);
void writeAll(const std::string& path, const std::vector<unsigned char>& bytes);
// Deterministic bytes that no window or block boundary can hide a mix-up in.
std::vector<unsigned char> patternBytes(std::size_t count, std::uint32_t seed = 1);

}  // namespace veldtest
