// The program's conventions: one option style on every command, messages
// that say what happened first, exit statuses, and compression levels whose
// files every reader reads.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "TestFiles.h"
#include "VeldProgram.h"
#include "json_mini.h"

namespace {

using namespace veldtest;
namespace fs = std::filesystem;

constexpr std::int64_t kRow0 = 500;
constexpr std::int64_t kBlock = 4190208;
const char* const kCommands[] = {"pack",    "unpack",  "info", "cat",  "verify",
                                 "append",  "recover", "compact", "demo", "bench"};

std::int64_t le(const Bytes& b, std::int64_t at, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | b.at(static_cast<std::size_t>(at + i));
    return width == 4 ? static_cast<std::int32_t>(v) : static_cast<std::int64_t>(v);
}

struct Payload {
    std::int64_t at, size, plain;
};

// The payloads the table lists, read straight from the file's bytes.
std::vector<Payload> payloadsOf(const Bytes& f, std::int64_t row0) {
    const std::int64_t table = le(f, row0 + 8, 8);
    const std::int64_t count = le(f, table + 20, 4);
    std::vector<Payload> out;
    for (std::int64_t k = 1; k <= count; ++k) {
        const std::int64_t r = table + 24 * k;
        out.push_back({le(f, r + 8, 8), le(f, r + 20, 4), le(f, r + 16, 4)});
    }
    return out;
}

// Plain zlib inflates every payload to exactly its recorded size; the bytes
// together are the case data.
Bytes inflateWithZlib(const Bytes& f, std::int64_t row0) {
    Bytes all;
    for (const Payload& p : payloadsOf(f, row0)) {
        Bytes out(static_cast<std::size_t>(p.plain) + 1);
        uLongf n = static_cast<uLongf>(out.size());
        EXPECT_EQ(uncompress(out.data(), &n, f.data() + p.at, static_cast<uLong>(p.size)), Z_OK);
        EXPECT_EQ(static_cast<std::int64_t>(n), p.plain);
        all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return all;
}

// The longest run of digits in a text.
std::size_t longestNumber(const std::string& text) {
    std::size_t longest = 0, run = 0;
    for (char c : text) {
        run = c >= '0' && c <= '9' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// Every "--name" in a text.
std::vector<std::string> longOptions(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
        std::size_t end = at + 2;
        while (end < text.size() && ((text[end] >= 'a' && text[end] <= 'z') || (text[end] >= '0' && text[end] <= '9') ||
                                     (text[end] == '-' && end > at + 2)))
            ++end;
        if (end > at + 2 && text[at + 2] >= 'a' && text[at + 2] <= 'z') out.push_back(text.substr(at, end - at));
    }
    return out;
}

class VeldConventions : public ::testing::Test {
protected:
    std::string f(const std::string& name) const { return dir.file(name); }
    std::string q(const std::string& name) const { return quoted(f(name)); }
    Outcome veld(const std::string& args) { return runVeld(dir, args); }
    Bytes packed(const std::string& name, const Bytes& input, const std::string& options = "") {
        writeAll(f(name + ".dat"), input);
        fs::remove(f(name + ".zdat"));
        const Outcome r = veld("pack " + q(name + ".dat") + " " + q(name + ".zdat") + " --row0 " + std::to_string(kRow0) +
                               " --quiet " + options);
        EXPECT_EQ(r.status, 0) << r.err;
        return readAll(f(name + ".zdat"));
    }
    TempDir dir;
};

TEST_F(VeldConventions, EveryCommandTakesTheSameShortOptions) {
    for (const char* cmd : kCommands) {
        SCOPED_TRACE(cmd);
        for (const char* help : {"-h", "--help"}) {
            const Outcome r = veld(std::string(cmd) + " " + help);
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.out.find("-q,--quiet"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("-f,--force"), std::string::npos) << r.out;
        }
        for (const char* version : {"-V", "--version"}) {
            const Outcome before = veld(std::string(version) + " " + cmd);
            const Outcome after = veld(std::string(cmd) + " " + version);
            EXPECT_EQ(before.status, 0);
            EXPECT_EQ(after.status, 0) << after.err;
            EXPECT_EQ(after.out.rfind("veld ", 0), 0u) << after.out;
            EXPECT_EQ(after.out, before.out);
        }
    }
}

TEST_F(VeldConventions, GlobalOptionsGoBeforeOrAfterTheCommand) {
    const Bytes input = surveyFile(kRow0, 2 * kBlock + 99);
    writeAll(f("s.dat"), input);
    const std::string forms[] = {
        "--engine zlib --jobs 3 pack " + q("s.dat") + " " + q("a.zdat") + " --row0 500 -q",
        "pack " + q("s.dat") + " " + q("b.zdat") + " --row0 500 -q --engine zlib --jobs 3",
        "--jobs 2 pack " + q("s.dat") + " " + q("c.zdat") + " --engine zlib --row0 500 -q",
    };
    for (const std::string& args : forms) {
        SCOPED_TRACE(args);
        const Outcome r = veld(args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_TRUE(readAll(f("a.zdat")) == readAll(f("b.zdat")));
    EXPECT_TRUE(readAll(f("a.zdat")) == readAll(f("c.zdat")));
    // The global value reaches the command: --threads excludes it wherever it stands.
    for (const std::string& args : {"--jobs 2 unpack " + q("a.zdat") + " " + q("x") + " --threads 2",
                                    "unpack " + q("a.zdat") + " " + q("x") + " --threads 2 --jobs 2"}) {
        SCOPED_TRACE(args);
        const Outcome r = veld(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("exclude"), std::string::npos) << r.err;
    }
    const Outcome bad = veld("info " + q("a.zdat") + " --engine gzip");
    EXPECT_EQ(bad.status, 2);
}

TEST_F(VeldConventions, ParseErrorsPointAtTheCommandsOwnHelp) {
    packed("s", surveyFile(kRow0, 1000));
    const std::pair<std::string, std::string> calls[] = {
        {"pack " + q("s.dat"), "veld pack --help"},
        {"unpack " + q("s.zdat") + " x --bogus", "veld unpack --help"},
        {"cat " + q("s.zdat") + " --offset", "veld cat --help"},
        {"verify", "veld verify --help"},
        {"--bogus", "veld --help"},
    };
    for (const auto& [args, help] : calls) {
        SCOPED_TRACE(args);
        const Outcome r = veld(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("(see " + help + ")"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(VeldConventions, RangeErrorsSayWhatAValidValueIs) {
    packed("s", surveyFile(kRow0, 1000));
    const std::pair<std::string, std::string> calls[] = {
        {"info " + q("s.zdat") + " --row0 0", "whole number of 1 or more"},
        {"info " + q("s.zdat") + " --row0 -3", "whole number of 1 or more"},
        {"cat " + q("s.zdat") + " --offset -5", "whole number of 0 or more"},
        {"cat " + q("s.zdat") + " --offset 1k", "whole number of 0 or more"},
        {"cat " + q("s.zdat") + " --length 99999999999999999999999", "whole number of 0 or more"},
        {"pack " + q("s.dat") + " " + q("o") + " --row0 5 --level 0", "1 to 12"},
        {"pack " + q("s.dat") + " " + q("o") + " --row0 5 --jobs 0", "1 to 256"},
        {"--engine zlib pack " + q("s.dat") + " " + q("o") + " --row0 5 --level 10", "give 1 to 9"},
    };
    for (const auto& [args, valid] : calls) {
        SCOPED_TRACE(args);
        const Outcome r = veld(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(valid), std::string::npos) << r.err;
        EXPECT_LT(longestNumber(r.err), 25u) << "no 309-digit bounds: " << r.err;
    }
    EXPECT_FALSE(fs::exists(f("o")));
}

TEST_F(VeldConventions, ExitOneWhenAFileCannotBeUsedAsAsked) {
    const Bytes input = surveyFile(kRow0, 100000);
    const Bytes zdat = packed("s", input);
    writeAll(f("cut.zdat"), Bytes(zdat.begin(), zdat.begin() + static_cast<std::ptrdiff_t>(zdat.size() / 2)));
    const std::pair<std::string, std::string> calls[] = {
        {"info " + q("s.zdat") + " --row0 499", "--row0"},                         // a wrong P
        {"info " + q("s.dat"), "no compressed part found"},                         // not a data file
        {"verify " + q("cut.zdat"), "no compressed part found"},                    // truncated, P not given
        {"pack " + q("s.dat") + " " + q("o.zdat") + " --row0 999999", "beyond"},    // P past the input
        {"unpack " + q("missing.zdat") + " " + q("o.dat"), "no such file"},
    };
    for (const auto& [args, words] : calls) {
        SCOPED_TRACE(args);
        const Outcome r = veld(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    }
}

TEST_F(VeldConventions, InfoAndVerifyTakeSeveralFilesAndExitWithTheWorst) {
    const Bytes good = packed("good", surveyFile(kRow0, kBlock + 10));
    Bytes bad = good;
    const Payload p = payloadsOf(bad, kRow0).at(1);
    bad[static_cast<std::size_t>(p.at + p.size - 2)] ^= 0x01;  // the Adler-32 trailer
    writeAll(f("bad.zdat"), bad);

    Outcome r = veld("verify " + q("good.zdat") + " " + q("bad.zdat") + " " + q("good.zdat"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_NE(r.err.find("block 1 at offset " + std::to_string(p.at) + " is damaged: its checksum fails"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("good.zdat"), std::string::npos) << r.err;
    r = veld("verify " + q("good.zdat") + " " + q("good.zdat") + " -q");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = veld("verify " + q("missing") + " " + q("good.zdat"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("good.zdat: ok"), std::string::npos) << "a missing file does not stop the rest";

    r = veld("info " + q("good.zdat") + " " + q("good.dat") + " " + q("bad.zdat") + " --json");
    EXPECT_EQ(r.status, 1);
    const jsonmini::Value v = jsonmini::parse(r.out);
    ASSERT_EQ(v.items.size(), 2u) << r.out;
    EXPECT_EQ(v.items[0]["row0"].integer(), kRow0);
    EXPECT_EQ(v.items[1]["file_size"].integer(), static_cast<std::int64_t>(bad.size()));
    r = veld("info " + q("good.zdat") + " -q");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    // A damaged block read by unpack leads with the same words, the check after them.
    r = veld("unpack " + q("bad.zdat") + " " + q("back"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("veld: " + f("bad.zdat") + ": block 1 at offset " + std::to_string(p.at) +
                         " is damaged: its checksum fails (check failed: "),
              0u)
        << r.err;
}

TEST_F(VeldConventions, AReportThatCannotBeWrittenFailsTheCommand) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    packed("s", surveyFile(kRow0, 1000));
    for (const std::string& args : {"info " + q("s.zdat"), "verify " + q("s.zdat"), "info " + q("s.zdat") + " --json",
                                    "cat " + q("s.zdat")}) {
        SCOPED_TRACE(args);
        const Outcome r = runVeld(dir, args, "", "/dev/full");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("no space left on device"), std::string::npos) << r.err;
    }
}

TEST_F(VeldConventions, RefusedFilesAreExplainedInTheSystemsWords) {
    const Bytes zdat = packed("s", surveyFile(kRow0, 100000));
    writeAll(f("more.bin"), patternBytes(1000));

    // Another program holds the file for writing (the share mode's lock).
    const int fd = ::open(f("s.zdat").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    for (const std::string& args : {"append " + q("s.zdat") + " " + q("more.bin"), "info " + q("s.zdat"),
                                    "unpack " + q("s.zdat") + " " + q("o.dat")}) {
        SCOPED_TRACE(args);
        const Outcome r = veld(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("in use: another program has it open for writing"), std::string::npos) << r.err;
    }
    ::close(fd);

    if (geteuid() != 0) {
        fs::permissions(f("s.zdat"), fs::perms::owner_read);
        const Outcome r = veld("append " + q("s.zdat") + " " + q("more.bin"));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot open for writing: permission denied"), std::string::npos) << r.err;
        EXPECT_GT(r.err.find("r+b"), r.err.find("permission denied")) << "the detail comes after";
        return;
    }
    // As root, a read-only file system refuses what permissions would not.
    const std::string ro = f("ro");
    fs::create_directory(ro);
    if (shellStatus("mount -t tmpfs -o size=1m tmpfs " + quoted(ro) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    fs::copy_file(f("s.zdat"), ro + "/s.zdat");
    const int remounted = shellStatus("mount -o remount,ro " + quoted(ro));
    Outcome r{};
    if (remounted == 0) r = veld("append " + quoted(ro + "/s.zdat") + " " + q("more.bin"));
    shellStatus("umount " + quoted(ro));
    ASSERT_EQ(remounted, 0);
    EXPECT_EQ(r.status, 1);
    // What happened first; the library's detail after it.
    const auto words = r.err.find("cannot open for writing: read-only file system");
    EXPECT_NE(words, std::string::npos) << r.err;
    EXPECT_GT(r.err.find("r+b"), words) << r.err;
}

TEST_F(VeldConventions, InfoDoesNotBlameFlushForAnAppendsShortBlock) {
    // A short last block whose payload is over 64 KiB stays where it is when
    // appending, so it ends early inside the data without any Flush.
    const Bytes noise = patternBytes(200000, 5);
    Bytes input = surveyFile(kRow0, 0);
    input.insert(input.end(), noise.begin(), noise.end());
    packed("s", input);
    writeAll(f("more.bin"), patternBytes(5000, 2));
    ASSERT_EQ(veld("append " + q("s.zdat") + " " + q("more.bin") + " -q").status, 0);
    const Outcome r = veld("info " + q("s.zdat"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("short blocks   2"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("by Flush"), std::string::npos) << r.out;
}

TEST_F(VeldConventions, EveryLevelWritesZlibStreamsThatEveryReaderReads) {
    const Bytes input = surveyFile(kRow0, kBlock + 4321, 3);
    const Bytes caseData(input.begin() + kRow0, input.end());
    const Bytes level1 = packed("l1", input);
    EXPECT_TRUE(packed("d", input, "--level 1") == level1) << "level 1 is the default";
    std::int64_t previous = static_cast<std::int64_t>(level1.size());
    // Every level of the automatic choice, and each engine at a level of its own.
    const std::pair<std::string, int> runs[] = {{"", 2}, {"", 6}, {"", 9},
                                                {"--engine zlib ", 5}, {"--engine libdeflate ", 4},
                                                {"--engine isal ", 1}};
    for (const auto& [engine, level] : runs) {
        if (veld(engine + "info " + q("l1.zdat") + " -q").status == 2) continue;  // not in this build
        SCOPED_TRACE(engine + "level " + std::to_string(level));
        const std::string lv = " --level " + std::to_string(level);
        const Bytes one = packed("x", input, engine + "--jobs 1" + lv);
        EXPECT_TRUE(packed("y", input, engine + "--jobs 3" + lv) == one) << "the same file at every job count";
        EXPECT_TRUE(inflateWithZlib(one, kRow0) == caseData);
        ASSERT_EQ(veld("--engine zlib unpack " + q("x.zdat") + " " + q("x.back") + " -q -f").status, 0);
        EXPECT_TRUE(readAll(f("x.back")) == input);
        if (engine.empty()) {
            EXPECT_LE(static_cast<std::int64_t>(one.size()), previous) << "denser with each level";
            previous = static_cast<std::int64_t>(one.size());
        }
    }
    EXPECT_LT(previous, static_cast<std::int64_t>(level1.size()));

    // An append's new blocks take its own level; the old ones stay as they were.
    writeAll(f("more.bin"), Bytes(caseData.begin(), caseData.begin() + kBlock + 10));
    packed("a", input);
    packed("b", input);
    ASSERT_EQ(veld("append " + q("a.zdat") + " " + q("more.bin") + " -q").status, 0);
    ASSERT_EQ(veld("append " + q("b.zdat") + " " + q("more.bin") + " -q --level 9").status, 0);
    const Bytes a = readAll(f("a.zdat")), b = readAll(f("b.zdat"));
    EXPECT_LT(b.size(), a.size());
    Bytes grown = caseData;
    grown.insert(grown.end(), caseData.begin(), caseData.begin() + kBlock + 10);
    EXPECT_TRUE(inflateWithZlib(b, kRow0) == grown);
    const auto pa = payloadsOf(a, kRow0), pb = payloadsOf(b, kRow0);
    ASSERT_EQ(pa.size(), pb.size());
    EXPECT_EQ(pa[0].size, pb[0].size);
    EXPECT_LT(pb.back().size, pa.back().size);
}

}  // namespace

namespace {

// What the completion offers for the words typed so far (the last one being completed).
std::string completions(const std::string& typed) {
    const std::string script = "source " + quoted(VELD_COMPLETION) + "; COMP_WORDS=(" + typed +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _veld; echo \" ${COMPREPLY[*]} \"";
    TempDir dir;
    const std::string out = dir.file("out");
    if (shellStatus("bash -c '" + script + "' > " + quoted(out) + " 2>&1") != 0) return "bash failed: " + textOf(out);
    return textOf(out);
}

}  // namespace

// The completion offers every command and every option each command's help lists.
TEST_F(VeldConventions, BashCompletionKnowsEveryCommandAndOption) {
    if (shellStatus("command -v bash > /dev/null") != 0) GTEST_SKIP() << "no bash";
    const std::string top = completions("veld \"\"");
    for (const char* cmd : kCommands) {
        SCOPED_TRACE(cmd);
        EXPECT_NE(top.find(std::string(" ") + cmd + " "), std::string::npos) << top;
        const std::string offered = completions(std::string("veld ") + cmd + " -");
        const std::string help = veld(std::string(cmd) + " --help").out;
        const std::vector<std::string> options = longOptions(help);
        EXPECT_GT(options.size(), 4u) << help;
        for (const std::string& option : options)
            EXPECT_NE(offered.find(" " + option + " "), std::string::npos) << option << " in: " << offered;
    }
    EXPECT_EQ(completions("veld --engine z"), " zlib \n");
    EXPECT_NE(completions("veld pack x.dat --le").find(" --level "), std::string::npos);
}
