#include "fuzz_support.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "crt_memory.h"
#include "large_memory.h"

namespace veldfuzz {

namespace {

// Enough for the streams and read-ahead objects one input makes at a time.
constexpr std::size_t kKeptBuffers = 32;

struct Scratch {
    veld::crt::MemoryFiles memory;
    std::string name = "veld-fuzz-input.dat";
    std::string diskPath;
    Scratch() {
        veld::platform::keepFreedLargeBuffers(kKeptBuffers);
        memory.set(name, nullptr, 0);
        const std::filesystem::path dir =
            std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        diskPath = (dir / ("veld-fuzz-" + std::to_string(getpid()) + ".dat")).string();
    }
    ~Scratch() { std::remove(diskPath.c_str()); }
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

}  // namespace

const std::string& scratchFile() { return scratch().name; }

const std::string& diskScratchFile() { return scratch().diskPath; }

void writeScratch(const std::uint8_t* data, std::size_t size) {
    Scratch& s = scratch();
    s.memory.set(s.name, data, size);
    s.memory.failReads(0, 0, 0);
}

void failScratchReads(std::int64_t from, std::int64_t to, int err) { scratch().memory.failReads(from, to, err); }

void finding(const char* what) {
    std::fprintf(stderr, "veld fuzz finding: %s\n", what);
    std::abort();
}

}  // namespace veldfuzz
