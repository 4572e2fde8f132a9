#include "TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

namespace veldtest {

namespace {
std::atomic<int> gCounter{0};
}

TempDir::TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "veld";
    for (char& c : name)
        if (c == '/' || c == '\\') c = '_';
    fPath = std::filesystem::temp_directory_path() /
            ("veld-test-" + name + "-" + std::to_string(gCounter++) + "-" +
             std::to_string(reinterpret_cast<std::uintptr_t>(this) & 0xffffff));
    std::filesystem::remove_all(fPath);
    std::filesystem::create_directories(fPath);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
}

std::vector<unsigned char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<unsigned char> patternBytes(std::size_t count, std::uint32_t seed) {
    std::vector<unsigned char> bytes(count);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<unsigned char>(x);
    }
    return bytes;
}

}  // namespace veldtest
