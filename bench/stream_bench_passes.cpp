#include "stream_bench_passes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>

#include "VELD_FileStream.h"

namespace veldbench {

namespace {

// As per read(2), with EINTR retried.
ssize_t readSome(int fd, void* buf, std::size_t n) {
    ssize_t r;
    do r = ::read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

bool writeAllOf(int fd, const unsigned char* buf, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

double bytesPerSecond(const std::function<std::uint64_t()>& pass) {
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t bytes = pass();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return s > 0 ? static_cast<double>(bytes) / s : 0;
}

}  // namespace

std::uint64_t plainReadPass(const std::string& path, std::vector<unsigned char>& piece) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    std::uint64_t total = 0;
    for (ssize_t n; (n = readSome(fd, piece.data(), piece.size())) > 0;) total += static_cast<std::uint64_t>(n);
    ::close(fd);
    return total;
}

std::uint64_t streamReadPass(const std::string& path, std::vector<unsigned char>& piece, bool readAhead) {
    VELD_FileStream s(path.c_str(), "rb");
    if (readAhead) s.EnableMultiThreadReading();
    std::uint64_t total = 0;
    for (std::uint64_t n; (n = s.Read(piece.data(), piece.size())) > 0;) total += n;
    return total;
}

std::uint64_t plainWritePass(const std::string& path, const std::vector<unsigned char>& piece,
                             std::uint64_t bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd < 0) return 0;
    std::uint64_t total = 0;
    while (total < bytes) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes - total));
        if (!writeAllOf(fd, piece.data(), n)) break;
        total += n;
    }
    ::close(fd);
    return total;
}

std::uint64_t streamWritePass(const std::string& path, const std::vector<unsigned char>& piece,
                              std::uint64_t bytes) {
    VELD_FileStream s(path.c_str(), "r+b");
    std::uint64_t total = 0;
    while (total < bytes) {
        const std::uint64_t n = std::min<std::uint64_t>(piece.size(), bytes - total);
        const std::uint64_t w = s.Write(piece.data(), n);
        if (w == 0) break;
        total += w;
    }
    s.Close();
    return total;
}

bool makeFile(const std::string& path, std::uint64_t bytes) {
    ::unlink(path.c_str());
    std::vector<unsigned char> piece(1 << 20);
    std::uint32_t x = 2463534242u;
    for (auto& b : piece) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return plainWritePass(path, piece, bytes) == bytes;
}

StreamComparison compareStreams(const std::string& dir, std::uint64_t bytes, int rounds) {
    const std::string source = dir + "/veld-bench-read.bin";
    const std::string target = dir + "/veld-bench-write.bin";
    StreamComparison best;
    if (!makeFile(source, bytes) || !makeFile(target, bytes)) return best;
    std::vector<unsigned char> piece(kPiece, 0x5A);
    auto keepBest = [](double& slot, double v) { slot = std::max(slot, v); };
    // Interleaved, so that a busy moment of the machine hurts every way alike.
    for (int r = 0; r < rounds; ++r) {
        keepBest(best.plainRead, bytesPerSecond([&] { return plainReadPass(source, piece); }));
        keepBest(best.streamRead, bytesPerSecond([&] { return streamReadPass(source, piece, false); }));
        keepBest(best.readAheadRead, bytesPerSecond([&] { return streamReadPass(source, piece, true); }));
        keepBest(best.plainWrite, bytesPerSecond([&] { return plainWritePass(target, piece, bytes); }));
        keepBest(best.streamWrite, bytesPerSecond([&] { return streamWritePass(target, piece, bytes); }));
    }
    ::unlink(source.c_str());
    ::unlink(target.c_str());
    return best;
}

}  // namespace veldbench
