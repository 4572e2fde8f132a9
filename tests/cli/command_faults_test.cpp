// pack and unpack with each of their system calls failed in turn, at every
// thread setting they offer (the matrix and its rules are in CommandFaults.h).
#include <gtest/gtest.h>

#include <filesystem>

#include "CommandFaults.h"
#include "TestFiles.h"
#include "cli_support.h"
#include "commands.h"

namespace {

using namespace veldtest;

constexpr std::int64_t kRow0 = 1000;
// Two blocks: a full one and a short one.
constexpr std::size_t kCaseBytes = 4190208 + 50000;

// Case data that compresses, as records do.
Bytes dataFile() {
    Bytes b = patternBytes(kRow0, 5);
    const Bytes records = patternBytes(4096, 6);
    for (std::size_t i = 0; i < kCaseBytes; ++i) b.push_back(records[(i * 7) % records.size()] & 0x0F);
    return b;
}

class CommandFaults : public ::testing::TestWithParam<int> {
protected:
    TempDir dir;
    std::string plain = dir.file("survey.dat");
    std::string packed = dir.file("survey.zdat");
};

TEST_P(CommandFaults, Pack) {
    writeAll(plain, dataFile());
    veldcli::PackOptions o;
    o.input = plain;
    o.output = packed;
    o.row0 = kRow0;
    o.threads = GetParam() == 0 ? 0 : 1;
    o.quiet = true;
    CommandUnderTest c;
    c.run = [&] { return veldcli::runReported(o.input, [&] { return veldcli::runPack(o); }); };
    c.reset = [&] { std::filesystem::remove(packed); };
    c.untouched = {plain};
    c.output = packed;
    // The heading, at P of the file being written.
    c.commits = [](const veld::crt::CallRecord& r) {
        return r.kind == veld::crt::Call::Write && r.position == kRow0;
    };
    runFaultMatrix(c);
}

TEST_P(CommandFaults, Unpack) {
    writeAll(plain, dataFile());
    veldcli::PackOptions p;
    p.input = plain;
    p.output = packed;
    p.row0 = kRow0;
    veldcli::packFile(p, nullptr);
    veldcli::UnpackOptions o;
    o.input = packed;
    o.output = dir.file("back.dat");
    o.threads = GetParam() == 0 ? 0 : 2;
    o.quiet = true;
    CommandUnderTest c;
    c.run = [&] { return veldcli::runReported(o.input, [&] { return veldcli::runUnpack(o); }); };
    c.reset = [&] { std::filesystem::remove(o.output); };
    c.untouched = {packed};
    c.output = o.output;
    runFaultMatrix(c);
    // The matrix's last run failed; a clean one gives back the data.
    c.reset();
    ASSERT_EQ(c.run(), 0);
    EXPECT_EQ(readAll(o.output), dataFile());
}

// Pack offers settings 0 and 1, unpack 0 and 2: the parameter is "without or with a worker".
INSTANTIATE_TEST_SUITE_P(WithoutAndWithAWorker, CommandFaults, ::testing::Values(0, 1));

}  // namespace
