#include "TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>
#include <stdexcept>

#include "ThrowError.h"
#include "VELD_File.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "cipher.h"

namespace veldtest {

namespace {
std::atomic<int> gCounter{0};
}

TempDir::TempDir(const std::filesystem::path& base) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "veld";
    for (char& c : name)
        if (c == '/' || c == '\\') c = '_';
    // Test processes of other builds run the same test at the same time, and
    // a sanitizer build's heap addresses repeat from run to run: the name has
    // a random part, and a directory that already exists belongs to someone
    // else, so it is never reused or removed.
    std::random_device random;
    for (;;) {
        fPath = (base.empty() ? std::filesystem::temp_directory_path() : base) /
                ("veld-test-" + name + "-" + std::to_string(gCounter++) + "-" + std::to_string(random()) + "-" +
                 std::to_string(random()));
        if (std::filesystem::create_directory(fPath)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return Bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes patternBytes(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<unsigned char>(x);
    }
    return bytes;
}

std::string failedCheck(const std::function<void()>& f, std::string* detail) {
    const auto e = raised<veld::CheckFailure>(f);
    if (e && detail) *detail = e->detail();
    return e ? e->expression() : "no check failed";
}

int raisedCode(const std::function<void()>& f, int* err) {
    const auto e = raised<veld::DataSourceError>(f);
    if (e && err) *err = e->sysErrno();
    return e ? e->code() : 0;
}

Bytes readN(VELD_FileStream& s, std::size_t n) {
    Bytes out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

Bytes readAt(VELD_FileStream& s, std::int64_t at, std::size_t n) {
    EXPECT_EQ(s.Seek(at, VELD_StrBaseIO::FromStart), 0);
    return readN(s, n);
}

Bytes readAt(VELD_File& f, std::int64_t at, std::size_t n) {
    Bytes out(n);
    out.resize(f.Read(out.data(), n, at));
    return out;
}

Bytes readToEnd(VELD_FileStream& s, std::size_t piece) {
    Bytes all;
    for (Bytes p; !(p = readN(s, piece)).empty();) all.insert(all.end(), p.begin(), p.end());
    return all;
}

void writeAt(VELD_FileStream& s, std::int64_t at, const Bytes& bytes) {
    ASSERT_EQ(s.Seek(at, VELD_StrBaseIO::FromStart), 0);
    ASSERT_EQ(s.Write(bytes.data(), bytes.size()), bytes.size());
}

Enciphering::Enciphering() {
    unsigned char key[veld::kCipherKeyBytes];
    for (int i = 0; i < veld::kCipherKeyBytes; ++i) key[i] = static_cast<unsigned char>(i);
    if (!veld::SetCipherKey(key, sizeof key)) throw std::runtime_error("no cipher key");
    SetKeepEncrypt(true);
}

Enciphering::~Enciphering() {
    SetKeepEncrypt(false);
    veld::ClearCipherKey();
}

}  // namespace veldtest
