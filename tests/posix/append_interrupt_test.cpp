// `veld append` sent SIGINT or SIGTERM while it writes: the safe append gives
// up, cuts the file back to its old length and exits with the signal's status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CompressedFiles.h"

namespace {

using namespace veldtest;

constexpr std::int64_t P = 1000;

std::string readText(const std::string& path) {
    const Bytes b = readAll(path);
    return std::string(b.begin(), b.end());
}

struct Outcome {
    int status;  // exit status, or 128 + the signal that ended it
    std::string err;
};

// Runs the append and sends `sig` as soon as the file has grown.
Outcome appendInterrupted(const std::string& file, const std::string& input, const std::string& jobs, int sig,
                          const std::string& errPath) {
    const auto before = std::filesystem::file_size(file);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        if (jobs.empty())
            execl(VELD_PROGRAM, VELD_PROGRAM, "append", file.c_str(), input.c_str(), static_cast<char*>(nullptr));
        else
            execl(VELD_PROGRAM, VELD_PROGRAM, "append", file.c_str(), input.c_str(), "--jobs", jobs.c_str(),
                  static_cast<char*>(nullptr));
        _exit(127);
    }
    int raw = 0;
    for (;;) {
        std::error_code ec;
        if (std::filesystem::file_size(file, ec) > before) {
            kill(pid, sig);
            break;
        }
        if (waitpid(pid, &raw, WNOHANG) == pid) return {-1, readText(errPath)};  // ended before it grew
        usleep(200);
    }
    waitpid(pid, &raw, 0);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), readText(errPath)};
}

}  // namespace

TEST(AppendInterrupt, SafeAppendIsCutBackAndExitsWithTheSignalsStatus) {
    TempDir dir;
    const std::string file = dir.file("data.zdat");
    const std::string input = dir.file("more.dat");
    packFile(file, patternBytes(P, 1), textBytes(3 * kBlock + 500, 2));
    const Bytes original = readAll(file);
    // Zeros deflate fast but make a long append: 1 GiB, most of it a hole on disk.
    {
        std::FILE* f = std::fopen(input.c_str(), "wb");
        ASSERT_TRUE(f);
        ASSERT_EQ(::ftruncate(fileno(f), std::int64_t{1} << 30), 0);
        std::fclose(f);
    }
    for (const std::string jobs : {"", "2"}) {  // on this thread, and with workers
        for (const int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE("jobs " + jobs + ", signal " + std::to_string(sig));
            writeAll(file, original);
            const Outcome o = appendInterrupted(file, input, jobs, sig, dir.file("err.txt"));
            ASSERT_NE(o.status, 0) << "the append ended before the signal: " << o.err;
            EXPECT_EQ(o.status, 128 + sig) << o.err;
            EXPECT_NE(o.err.find("the file is unchanged"), std::string::npos) << o.err;
            EXPECT_NE(o.err.find(sig == SIGINT ? "interrupted" : "terminated"), std::string::npos) << o.err;
            EXPECT_TRUE(readAll(file) == original) << "cut back to its old bytes and length";
        }
    }
}
