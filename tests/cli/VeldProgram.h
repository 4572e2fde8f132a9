// Running the built veld program from a test, as a user runs it from a POSIX
// shell, with its standard streams taken from and kept in files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "TestFiles.h"

namespace veldtest {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline std::string quoted(const std::string& s) { return "\"" + s + "\""; }

inline std::string textOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The exit status of a POSIX shell command line.
inline int shellStatus(const std::string& line) {
    const int raw = std::system(line.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

inline std::string veldProgram() { return VELD_PROGRAM; }

// Runs `veld ARGS`; `stdinFrom` (a file) is its standard input when given,
// `stdoutTo` its standard output (else a file read back into Outcome::out).
inline Outcome runVeld(const TempDir& dir, const std::string& args, const std::string& stdinFrom = "",
                   const std::string& stdoutTo = "") {
    const std::string out = stdoutTo.empty() ? dir.file("stdout.bin") : stdoutTo;
    const std::string err = dir.file("stderr.txt");
    std::string cmd = quoted(veldProgram()) + " " + args + " > " + quoted(out) + " 2> " + quoted(err);
    if (!stdinFrom.empty()) cmd += " < " + quoted(stdinFrom);
    const int status = shellStatus(cmd);
    return {status, stdoutTo.empty() ? textOf(out) : std::string(), textOf(err)};
}

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A dictionary part of text, then records that compress a few times over.
inline Bytes surveyFile(std::int64_t row0, std::int64_t caseBytes, std::uint32_t seed = 1) {
    Bytes b;
    b.reserve(static_cast<std::size_t>(row0 + caseBytes));
    const std::string line = "variable q" + std::to_string(seed) + " numeric 8 label \"an answer\"\n";
    while (static_cast<std::int64_t>(b.size()) < row0) b.push_back(static_cast<unsigned char>(line[b.size() % line.size()]));
    std::uint32_t x = seed * 2654435761u + 7;
    for (std::int64_t i = 0; i < caseBytes; ++i) {
        const std::int64_t field = i % 48;
        if (field < 8) {
            b.push_back(static_cast<unsigned char>((i / 48) >> (8 * field)));
        } else {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b.push_back(static_cast<unsigned char>(x % 3 == 0 ? x >> 8 : 'A' + field % 7));
        }
    }
    return b;
}

}  // namespace veldtest
