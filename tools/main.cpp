// The veld command-line program.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "VELD_File.h"
#include "cipher.h"

namespace {

std::vector<unsigned char> sampleBytes(std::size_t n) {
    std::vector<unsigned char> v(n);
    std::uint32_t x = 2463534242u;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return v;
}

bool roundTrip(const std::string& path, bool encrypt, const std::vector<unsigned char>& data) {
    const auto start = std::chrono::steady_clock::now();
    RefCountPtr<VELD_File> file(new VELD_File(encrypt));
    ExtNameStr name;
    name.SetGeneric(path);
    if (!file->Open(name, "w+b")) return false;
    std::uint64_t written = 0;
    const std::size_t piece = 65536 + 7;  // odd pieces exercise the held-back cipher bytes
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t n = std::min(piece, data.size() - at);
        written += file->Write(data.data() + at, n, static_cast<std::int64_t>(at));
    }
    file->FinishEncryption();
    std::vector<unsigned char> back(data.size() + 16);
    std::uint64_t got = 0;
    for (;;) {
        const std::uint64_t n = file->Read(back.data() + got, 1 << 20, static_cast<std::int64_t>(got));
        got += n;
        if (n == 0) break;
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const bool same = got == data.size() && std::memcmp(back.data(), data.data(), data.size()) == 0;
    std::printf("  %-10s wrote %llu bytes, file %lld bytes on disk, read %llu back, %s, %.1f ms\n",
                encrypt ? "enciphered" : "plain", static_cast<unsigned long long>(written),
                static_cast<long long>(file->Size()), static_cast<unsigned long long>(got),
                same ? "match" : "MISMATCH", ms);
    return same;
}

int demo(const std::string& dir) {
    std::filesystem::create_directories(dir);
    const auto data = sampleBytes(8 << 20);
    SetKeepEncrypt(true);
    veld::SetCipherPassphrase("veld demo");
    std::printf("veld demo: raw file round trips in %s\n", dir.c_str());
    bool ok = roundTrip(dir + "/plain.bin", false, data);
    ok = roundTrip(dir + "/enciphered.bin", true, data) && ok;
    std::printf(ok ? "all round trips matched\n" : "a round trip FAILED\n");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "demo") == 0) {
        std::string dir = (std::filesystem::temp_directory_path() / "veld-demo").string();
        if (argc >= 4 && std::strcmp(argv[2], "--dir") == 0) dir = argv[3];
        return demo(dir);
    }
    std::fprintf(stderr, "usage: veld demo [--dir DIR]\n");
    return 2;
}
