// What the program writes, and what it refuses to write: outputs that are
// links, devices, FIFOs or standard output, existing files, the input itself,
// and inputs that are already packed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "TestFiles.h"
#include "VeldProgram.h"

namespace {

using namespace veldtest;
namespace fs = std::filesystem;

constexpr std::int64_t kRow0 = 700;

class VeldOutputs : public ::testing::Test {
protected:
    std::string f(const std::string& name) const { return dir.file(name); }
    std::string q(const std::string& name) const { return quoted(f(name)); }
    Outcome veld(const std::string& args, const std::string& in = "", const std::string& out = "") {
        return runVeld(dir, args, in, out);
    }
    // NAME.dat, and NAME.zdat packed from it.
    Bytes packed(const std::string& name, const Bytes& input) {
        writeAll(f(name + ".dat"), input);
        const Outcome r = veld("pack " + q(name + ".dat") + " " + q(name + ".zdat") + " --row0 " + std::to_string(kRow0) + " --quiet");
        EXPECT_EQ(r.status, 0) << r.err;
        return readAll(f(name + ".zdat"));
    }
    TempDir dir;
};

TEST_F(VeldOutputs, AnExistingFileIsReplacedOnlyWithForce) {
    const Bytes input = surveyFile(kRow0, 300000);
    const Bytes zdat = packed("s", input);
    const Bytes precious = patternBytes(5000, 3);
    for (const std::string& cmd : {"pack " + q("s.dat") + " " + q("victim") + " --row0 700",
                                   "unpack " + q("s.zdat") + " " + q("victim")}) {
        SCOPED_TRACE(cmd);
        writeAll(f("victim"), precious);
        const Outcome refused = veld(cmd);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("-f/--force"), std::string::npos) << refused.err;
        EXPECT_TRUE(readAll(f("victim")) == precious);
        for (const char* flag : {" -f -q", " --force -q"}) {
            writeAll(f("victim"), precious);
            const Outcome forced = veld(cmd + flag);
            EXPECT_EQ(forced.status, 0) << forced.err;
            EXPECT_EQ(forced.out, "") << "quiet";
            EXPECT_TRUE(readAll(f("victim")) == (cmd[0] == 'p' ? zdat : input));
        }
    }
}

TEST_F(VeldOutputs, TheOutputIsNeverTheInput) {
    const Bytes input = surveyFile(kRow0, 200000);
    const Bytes zdat = packed("s", input);
    fs::create_symlink(f("s.zdat"), f("alias.zdat"));
    fs::create_symlink(f("s.dat"), f("alias.dat"));
    const std::string calls[] = {
        "pack " + q("s.dat") + " " + q("s.dat") + " --row0 700 -f",
        "unpack " + q("s.zdat") + " " + q("s.zdat") + " -f",
        "append " + q("s.zdat") + " " + q("s.zdat"),
        "pack " + q("s.dat") + " " + q("alias.dat") + " --row0 700 -f",
        "unpack " + q("s.zdat") + " " + q("alias.zdat") + " -f",
        "append " + q("s.zdat") + " " + q("alias.zdat"),
    };
    for (const std::string& cmd : calls) {
        SCOPED_TRACE(cmd);
        const Outcome r = veld(cmd);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("veld: ", 0), 0u) << r.err;
        EXPECT_TRUE(readAll(f("s.dat")) == input);
        EXPECT_TRUE(readAll(f("s.zdat")) == zdat);
    }
    // Standard output appended to the very file being read.
    for (const std::string& cmd : {"cat " + q("s.zdat"), "unpack " + q("s.zdat") + " - -q"}) {
        SCOPED_TRACE(cmd);
        const int status = shellStatus(quoted(veldProgram()) + " " + cmd + " >> " + q("s.zdat") + " 2>/dev/null");
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(readAll(f("s.zdat")) == zdat);
    }
}

TEST_F(VeldOutputs, AnInputThatIsAlreadyPackedIsPackedAgainOnlyWithForce) {
    const Bytes zdat = packed("s", surveyFile(kRow0, 100000));
    const Outcome r = veld("pack " + q("s.zdat") + " " + q("twice.zdat") + " --row0 700");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already a compressed data file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(f("twice.zdat")));
    ASSERT_EQ(veld("pack " + q("s.zdat") + " " + q("twice.zdat") + " --row0 700 -f -q").status, 0);
    ASSERT_EQ(veld("unpack " + q("twice.zdat") + " " + q("once.zdat") + " -q").status, 0);
    EXPECT_TRUE(readAll(f("once.zdat")) == zdat);
}

TEST_F(VeldOutputs, DashIsStandardInputAndOutput) {
    const Bytes input = surveyFile(kRow0, 2 * 4190208 + 1234);
    const Bytes zdat = packed("s", input);

    // pack needs to go back to its heading: standard output gets the finished file.
    Outcome r = veld("pack - - --row0 700", f("s.dat"), f("piped.zdat"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readAll(f("piped.zdat")) == zdat);
    EXPECT_NE(r.err.find("standard output"), std::string::npos) << "the summary goes to standard error: " << r.err;

    // The same bytes at every thread setting.
    for (const std::string setting : {"--threads 0", "--threads 1", "--jobs 3"}) {
        SCOPED_TRACE(setting);
        r = veld("pack - - --row0 700 -q " + setting, f("s.dat"), f("piped.zdat"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readAll(f("piped.zdat")) == zdat);
    }
    for (const std::string setting : {"--threads 0", "--threads 2", "--jobs 3"}) {
        SCOPED_TRACE(setting);
        r = veld("unpack " + q("s.zdat") + " - -q " + setting, "", f("back.dat"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readAll(f("back.dat")) == input);
    }
    r = veld("unpack " + q("s.zdat") + " -", "", f("back.dat"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readAll(f("back.dat")) == input) << "no summary mixed into the data";

    // /dev/stdout is a link to wherever standard output goes: a pipe here.
    for (const std::string& cmd : {"unpack " + q("s.zdat") + " /dev/stdout -q", "pack " + q("s.dat") + " /dev/stdout --row0 700 -q"}) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(shellStatus(quoted(veldProgram()) + " " + cmd + " | cat > " + q("piped")), 0);
        EXPECT_TRUE(readAll(f("piped")) == (cmd[0] == 'u' ? input : zdat));
    }

    // append reads standard input, not a file named "-".
    writeAll(f("-"), patternBytes(999, 4));
    const Bytes more = surveyFile(0, 50000, 9);
    writeAll(f("more.bin"), more);
    const int status = shellStatus("cd " + quoted(dir.path().string()) + " && " + quoted(veldProgram()) +
                                   " append s.zdat - -q < more.bin");
    ASSERT_EQ(status, 0);
    ASSERT_EQ(veld("unpack " + q("s.zdat") + " " + q("grown.dat") + " -q").status, 0);
    Bytes want = input;
    want.insert(want.end(), more.begin(), more.end());
    EXPECT_TRUE(readAll(f("grown.dat")) == want);
    // No temporary copy of standard input is left behind.
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
        EXPECT_EQ(entry.path().filename().string().rfind("veld-input-", 0), std::string::npos) << entry.path();
}

// Temporary files (standard input's copy, pack's spool) go to TMPDIR and
// never stay there, whether the command ends well, fails, or its reader leaves.
TEST_F(VeldOutputs, TemporaryFilesNeverStayBehind) {
    packed("s", surveyFile(kRow0, 3 * 4190208));
    fs::create_directory(f("tmp"));
    const std::string env = "TMPDIR=" + q("tmp") + " " + quoted(veldProgram());
    const std::string runs[] = {
        env + " pack - - --row0 700 --quiet < " + q("s.dat") + " | head -c 1000 > /dev/null",  // the reader leaves
        env + " pack - - --row0 9999999999 < " + q("s.dat") + " > /dev/null",                   // P beyond the input
        env + " pack - " + q("out.zdat") + " --row0 700 --quiet < " + q("s.dat"),
        env + " append " + q("s.zdat") + " - --quiet < " + q("s.dat"),
    };
    for (const std::string& line : runs) {
        SCOPED_TRACE(line);
        shellStatus(line + " 2> /dev/null");
        EXPECT_TRUE(fs::is_empty(f("tmp")));
    }
    EXPECT_TRUE(fs::exists(f("out.zdat")));
}

// A streamed output that refuses its bytes fails the command, named as the
// user named it; a spool behind it is removed all the same.
TEST_F(VeldOutputs, AStreamedOutputThatFailsIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    packed("s", surveyFile(kRow0, 300000));
    fs::create_directory(f("tmp"));
    const std::string env = "TMPDIR=" + q("tmp") + " " + quoted(veldProgram());
    const std::pair<std::string, std::string> runs[] = {
        {" unpack " + q("s.zdat") + " - -q > /dev/full", "veld: standard output: "},
        {" pack " + q("s.dat") + " - --row0 700 -q > /dev/full", "veld: standard output: "},
        {" unpack " + q("s.zdat") + " /dev/full -q", "veld: /dev/full: "},
        {" pack " + q("s.dat") + " /dev/full --row0 700 -q", "veld: /dev/full: "},
    };
    for (const auto& [args, named] : runs) {
        SCOPED_TRACE(args);
        EXPECT_EQ(shellStatus(env + args + " 2> " + q("err")), 1);
        const std::string err = textOf(f("err"));
        EXPECT_EQ(err.rfind(named, 0), 0u) << err;
        EXPECT_NE(err.find("no space left on device"), std::string::npos) << err;
        EXPECT_TRUE(fs::is_empty(f("tmp")));
    }
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST_F(VeldOutputs, ALinkIsFollowedAndStaysALink) {
    const Bytes input = surveyFile(kRow0, 100000);
    const Bytes zdat = packed("s", input);
    fs::create_directory(f("real"));
    fs::create_symlink(f("real/target.dat"), f("link.dat"));  // dangling: the target is created
    Outcome r = veld("unpack " + q("s.zdat") + " " + q("link.dat") + " -q");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(f("link.dat")));
    EXPECT_TRUE(readAll(f("real/target.dat")) == input);
    EXPECT_FALSE(fs::exists(f("real/target.dat.veld-partial")));
    EXPECT_FALSE(fs::exists(f("link.dat.veld-partial")));

    // An existing target counts as an existing output.
    r = veld("pack " + q("s.dat") + " " + q("link.dat") + " --row0 700 -q");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(readAll(f("real/target.dat")) == input);
    r = veld("pack " + q("s.dat") + " " + q("link.dat") + " --row0 700 -q -f");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(f("link.dat")));
    EXPECT_TRUE(readAll(f("real/target.dat")) == zdat);
}

// Runs `veld ARGS` while `cat` reads the FIFO into a file; waits for both.
// A program that replaced the FIFO would leave cat waiting for a writer
// that never comes: the timeout only ends such a run.
int throughFifo(const TempDir& dir, const std::string& fifo, const std::string& args, const std::string& into) {
    const std::string line = "timeout 60 cat " + quoted(fifo) + " > " + quoted(into) + " & " + quoted(veldProgram()) + " " + args +
                             " 2> " + quoted(dir.file("stderr.txt")) + "; s=$?; wait; exit $s";
    return shellStatus("sh -c '" + line + "'");
}

TEST_F(VeldOutputs, FifosSocketsAndDevicesAreWrittenStraightThrough) {
    const Bytes input = surveyFile(kRow0, 4190208 + 777);
    const Bytes zdat = packed("s", input);
    ASSERT_EQ(::mkfifo(f("pipe").c_str(), 0600), 0);
    EXPECT_EQ(throughFifo(dir, f("pipe"), "unpack " + q("s.zdat") + " " + q("pipe") + " -q", f("got.dat")), 0)
        << textOf(f("stderr.txt"));
    EXPECT_TRUE(readAll(f("got.dat")) == input);
    // pack goes back to its heading: the FIFO gets the finished file.
    EXPECT_EQ(throughFifo(dir, f("pipe"), "pack " + q("s.dat") + " " + q("pipe") + " --row0 700 -q", f("got.zdat")), 0)
        << textOf(f("stderr.txt"));
    EXPECT_TRUE(readAll(f("got.zdat")) == zdat);
    struct stat st {};
    ASSERT_EQ(::lstat(f("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find("veld-partial"), std::string::npos) << entry.path();

    // A Unix socket: the program connects and writes; a listener keeps what it gets.
    if (shellStatus("command -v python3 > /dev/null") == 0) {
        const std::string listener =
            "import socket, sys\n"
            "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(1)\n"
            "c, _ = s.accept(); out = open(sys.argv[2], 'wb')\n"
            "while True:\n"
            "    b = c.recv(1 << 20)\n"
            "    if not b: break\n"
            "    out.write(b)\n";
        writeAll(f("listen.py"), bytesOf(listener));
        // Short relative names: a socket's path has room for about a hundred bytes.
        const std::string line = "cd " + quoted(dir.path().string()) +
                                 " && { timeout 60 python3 listen.py sock got.sock & for i in $(seq 100); do [ -S sock ] && break;"
                                 " sleep 0.1; done; " + quoted(veldProgram()) +
                                 " unpack s.zdat sock -q 2> stderr.txt; s=$?; wait; exit $s; }";
        writeAll(f("run.sh"), bytesOf(line));
        EXPECT_EQ(shellStatus("sh " + q("run.sh")), 0) << textOf(f("stderr.txt"));
        EXPECT_TRUE(readAll(f("got.sock")) == input);
        EXPECT_TRUE(fs::is_socket(f("sock"))) << "the socket was replaced";
    }

    // A null device of our own, so that a fault cannot harm the system's.
    if (::mknod(f("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod needs root";
    for (const std::string& cmd : {"unpack " + q("s.zdat") + " " + q("null") + " -q",
                                   "pack " + q("s.dat") + " " + q("null") + " --row0 700 -q"}) {
        SCOPED_TRACE(cmd);
        const Outcome r = veld(cmd);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(::lstat(f("null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
    }
}

}  // namespace
