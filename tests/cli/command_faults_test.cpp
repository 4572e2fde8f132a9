// pack and unpack with each of their system calls failed in turn, at every
// thread setting they offer (the matrix and its rules are in CommandFaults.h).
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

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

// An append whose input fails to read, at each of its reads: the target is
// unchanged, and the error says so, in place or safely.
TEST(AppendInputFaults, AnInputThatFailsToReadLeavesTheTargetUnchanged) {
    TempDir dir;
    const std::string plain = dir.file("survey.dat"), target = dir.file("survey.zdat"), input = dir.file("more.bin");
    writeAll(plain, dataFile());
    veldcli::PackOptions p;
    p.input = plain;
    p.output = target;
    p.row0 = kRow0;
    veldcli::packFile(p, nullptr);
    const Bytes before = readAll(target);
    writeAll(input, patternBytes(3 * 4190208 / 2, 7));  // several reads of the input
    for (const bool inPlace : {true, false}) {
        SCOPED_TRACE(inPlace ? "in place" : "safely");
        std::vector<int> inputReads;  // 1-based among all reads
        {
            const std::string copy = dir.file("copy.zdat");
            writeAll(copy, before);
            veld::crt::CrtSeam seam;
            veldcli::appendFile(copy, input, kRow0, false, inPlace);
            const auto reads = seam.calls(veld::crt::Call::Read);
            for (std::size_t i = 0; i < reads.size(); ++i)
                if (reads[i].name == input) inputReads.push_back(static_cast<int>(i + 1));
        }
        ASSERT_FALSE(inputReads.empty());
        for (const int n : inputReads) {
            SCOPED_TRACE("read " + std::to_string(n));
            veld::crt::CrtSeam seam;
            seam.failNth(veld::crt::Call::Read, n, EIO);
            std::string message;
            try {
                veldcli::appendFile(target, input, kRow0, false, inPlace);
            } catch (const veldcli::CliError& e) {
                message = e.what();
            }
            seam.stopFailing();
            EXPECT_NE(message.find("the file is unchanged"), std::string::npos) << message;
            EXPECT_EQ(message.find("damaged"), std::string::npos) << message;
            const Bytes now = readAll(target);
            if (inPlace) {
                EXPECT_EQ(now, before);
            } else {
                // Stale bytes may follow; what the heading reaches is untouched.
                ASSERT_GE(now.size(), before.size());
                EXPECT_EQ(Bytes(now.begin(), now.begin() + static_cast<std::ptrdiff_t>(before.size())), before);
            }
            writeAll(target, before);
        }
    }
}

#ifndef _WIN32
// A temporary file the library writes (recover's, compact's) goes when the
// program is interrupted.
TEST(InterruptCleanup, SigintAndSigtermRemoveTheGuardedFile) {
    TempDir dir;
    for (const int sig : {SIGINT, SIGTERM}) {
        const std::string temp = dir.file("out.veld-recover");
        writeAll(temp, patternBytes(100, 1));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const veldcli::RemoveOnInterrupt guard(temp);
            raise(sig);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig) << status;
        EXPECT_FALSE(std::filesystem::exists(temp));
    }
}
#endif

// Pack offers settings 0 and 1, unpack 0 and 2: the parameter is "without or with a worker".
INSTANTIATE_TEST_SUITE_P(WithoutAndWithAWorker, CommandFaults, ::testing::Values(0, 1));

}  // namespace
