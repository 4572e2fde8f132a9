#include "fuzz_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace veldfuzz {

namespace {
struct Scratch {
    std::string path;
    Scratch() {
        const std::filesystem::path dir =
            std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        path = (dir / ("veld-fuzz-" + std::to_string(getpid()) + ".dat")).string();
    }
    ~Scratch() { std::remove(path.c_str()); }
};
}  // namespace

const std::string& scratchFile() {
    static const Scratch scratch;
    return scratch.path;
}

void writeScratch(const std::uint8_t* data, std::size_t size) {
    std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) finding("cannot write the scratch file");
}

void finding(const char* what) {
    std::fprintf(stderr, "veld fuzz finding: %s\n", what);
    std::abort();
}

}  // namespace veldfuzz
