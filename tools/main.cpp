// The veld program: the library's streams at work on real files from the shell.
// This file only wires the command line to the commands.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli_support.h"
#include "blockEngine.h"
#include "commands.h"

using namespace veldcli;

namespace {

const char* const kCommands[] = {"pack", "unpack", "info", "cat", "verify", "append", "recover", "compact", "demo", "bench"};

struct Row0Option {
    std::int64_t value = 0;
    CLI::Option* option = nullptr;
    std::optional<std::int64_t> get() const {
        return option && option->count() ? std::optional<std::int64_t>(value) : std::nullopt;
    }
};

// A whole number of at least `least`, checked on the text itself so that the
// message says what a valid value is.
CLI::Validator wholeNumber(std::int64_t least, std::int64_t most = INT64_MAX) {
    const std::string range = most == INT64_MAX ? std::to_string(least) + " or more"
                                                : std::to_string(least) + " to " + std::to_string(most);
    return CLI::Validator(
        [least, most, range](std::string& text) -> std::string {
            std::int64_t v = 0;
            const char* end = text.data() + text.size();
            const auto [at, ec] = std::from_chars(text.data(), end, v);
            if (ec == std::errc::result_out_of_range || (ec == std::errc() && at == end && (v < least || v > most)))
                return text + " is out of range: give a whole number of " + range;
            if (ec != std::errc() || at != end || text.empty())
                return text + " is not a whole number: give a whole number of " + range;
            return std::string();
        },
        "N", "whole number");
}

void addRow0(CLI::App* cmd, Row0Option& row0, bool required) {
    row0.option = cmd->add_option("--row0", row0.value,
                                  required ? "P, where the dictionary part ends and the case data begins"
                                           : "P, where the dictionary part ends (found in the file when omitted)")
                      ->check(wholeNumber(1));
    if (required) row0.option->required();
}

void addSwap(CLI::App* cmd, bool& swap) {
    cmd->add_flag("--swap", swap, "the heading and table are in the other byte order (big-endian)");
}

std::string defaultDir(const char* name) {
    std::error_code ec;
    const auto tmp = std::filesystem::temp_directory_path(ec);
    return ((ec ? std::filesystem::path(".") : tmp) / name).string();
}

// A report that never reached standard output is a failure too.
int finishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int err = errno;
        reportError("standard output", "cannot write the report: " + systemReason(err));
        return std::max(status, static_cast<int>(kExitDamaged));
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "veld: pack, inspect, extract, verify and append to compressed data files.\n"
        "A data file is a plain dictionary part (bytes 0 to P-1) followed by the case data,\n"
        "stored as independent zlib blocks with a position-info table and a 24-byte heading at P.\n"
        "Positions are those of the uncompressed file.\n",
        "veld"};
    app.set_version_flag("-V,--version", "veld 0.1.0");
    app.require_subcommand(1);
    // Global options, and -V, may also follow the command.
    app.fallthrough();
    app.footer(
        "Examples:\n"
        "  veld pack survey.dat survey.zdat --row0 49194   compress the case data from byte 49194 on\n"
        "  veld info survey.zdat                           what the heading and table say\n"
        "  veld verify survey.zdat                         check every block\n"
        "  veld recover survey.zdat fixed.zdat             keep every complete block of a damaged file\n"
        "  veld demo                                       the whole round trip on built-in data\n"
        "Run 'veld COMMAND --help' for a command's options.\n"
        "Global options (--engine, --jobs, --level, -V) go before or after the command.\n"
        "FILE or OUTPUT '-' is standard input or output where a command says so.\n"
        "Exit status: 0 success; 1 a file cannot be read or written as asked (damaged, refused,\n"
        "not a data file, an output that exists without --force); 2 a malformed command line.");

    // --jobs: workers for the blocks, by default one per core; --threads, when
    // given, takes the described one-worker settings instead.
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int globalJobs = cores;
    CLI::Option* globalJobsOpt = app.add_option("--jobs", globalJobs, "blocks handled at once (default: one per core)")
                                     ->check(wholeNumber(1, 256));
    // A command's --jobs, or else the global one; --threads, when given, takes
    // the described one-worker settings instead.
    struct JobsSetting {
        CLI::App* cmd;
        CLI::Option* jobs;
        CLI::Option* threads;
        int* value;
    };
    std::vector<JobsSetting> jobSettings;
    auto addJobs = [cores, &jobSettings](CLI::App* cmd, int& jobs, const char* what) {
        jobs = cores;
        CLI::Option* jobsOpt = cmd->add_option("--jobs", jobs, what)->capture_default_str()->check(wholeNumber(1, 256));
        jobSettings.push_back({cmd, jobsOpt, cmd->get_option_no_throw("--threads"), &jobs});
    };
    // -q, -f on every command, so that a script may pass them to any.
    auto addCommon = [](CLI::App* cmd, bool& quiet, bool& force, const char* quietWhat, const char* forceWhat) {
        cmd->add_flag("-q,--quiet", quiet, quietWhat);
        cmd->add_flag("-f,--force", force, forceWhat);
    };
    bool ignoredForce = false;
    const char* const kNothingToForce = "accepted for uniformity; this command replaces no file";
    int level = 1;
    CLI::Option* levelOpt = app.add_option("--level", level, "compression level of pack and append (see pack --help)")
                                ->check(wholeNumber(1, 12));
    std::string engineName = "auto";
    app.add_option("--engine", engineName,
                   "block engine: auto (fastest built in), zlib, libdeflate or isal; every one writes zlib streams")
        ->check(CLI::IsMember({"auto", "zlib", "libdeflate", "isal"}))
        ->capture_default_str();

    PackOptions pack;
    auto* packCmd = app.add_subcommand("pack", "compress the case data of an uncompressed file");
    packCmd->add_option("INPUT", pack.input, "uncompressed file: dictionary part, then case data ('-': standard input)")
        ->required();
    packCmd->add_option("OUTPUT", pack.output, "compressed data file to write ('-': standard output)")->required();
    packCmd->add_option("--row0", pack.row0, "P, where the dictionary part ends and the case data begins")
        ->required()
        ->check(wholeNumber(1));
    CLI::Option* packLevel = packCmd->add_option("--level", pack.level,
                                                 "1 fastest (the format's own, default) to 9, or up to the engine's "
                                                 "highest (libdeflate 12); every level writes plain zlib streams")
                                 ->check(wholeNumber(1, 12));
    packCmd->add_option("--threads", pack.threads, "0: compress on this thread; 1: a worker compresses and writes")
        ->check(CLI::IsMember({0, 1}));
    packCmd->add_option("--flush-every", pack.flushEvery, "end a block early after each BYTES of case data")
        ->check(wholeNumber(1));
    addJobs(packCmd, pack.jobs, "blocks compressed at once, written in order (the file is the same for any N)");
    addCommon(packCmd, pack.quiet, pack.force, "no progress bar and no summary",
              "replace an existing OUTPUT; pack an INPUT that is already packed");
    packCmd->footer(
        "Bytes 0 to P-1 are copied as they are; the rest becomes blocks of 4,190,208 bytes.\n"
        "OUTPUT appears only once it is complete; an existing one is replaced only with --force.\n"
        "A device or FIFO is written straight through (standard output too, once the file is done).\n"
        "Example:\n  veld pack survey.dat survey.zdat --row0 49194 --threads 1\n"
        "  producer | veld pack - survey.zdat --row0 49194 --level 6");

    UnpackOptions unpack;
    Row0Option unpackRow0;
    auto* unpackCmd = app.add_subcommand("unpack", "write the uncompressed file back");
    unpackCmd->add_option("INPUT", unpack.input, "compressed data file")->required();
    unpackCmd->add_option("OUTPUT", unpack.output, "uncompressed file to write ('-': standard output)")->required();
    addRow0(unpackCmd, unpackRow0, false);
    addSwap(unpackCmd, unpack.swap);
    unpackCmd->add_option("--threads", unpack.threads, "0: inflate on this thread; 2: a worker inflates ahead")
        ->check(CLI::IsMember({0, 2}));
    addJobs(unpackCmd, unpack.jobs, "blocks inflated ahead at once");
    addCommon(unpackCmd, unpack.quiet, unpack.force, "no progress bar and no summary", "replace an existing OUTPUT");
    unpackCmd->footer(
        "OUTPUT appears only once it is complete; an existing one is replaced only with --force.\n"
        "A device, FIFO or '-' (standard output) is written straight through as the blocks inflate.\n"
        "Example:\n  veld unpack survey.zdat survey.dat --threads 2\n  veld unpack survey.zdat - | wc -c");

    InfoOptions info;
    Row0Option infoRow0;
    auto* infoCmd = app.add_subcommand("info", "show the heading, the table's summary and the blocks");
    infoCmd->add_option("FILE", info.files, "compressed data files")->required();
    addRow0(infoCmd, infoRow0, false);
    addSwap(infoCmd, info.swap);
    infoCmd->add_flag("--json", info.json, "one JSON object instead of text");
    infoCmd->add_flag("--blocks", info.blocks, "one line (or JSON object) per block");
    addCommon(infoCmd, info.quiet, ignoredForce, "no report: problems only, and the exit status", kNothingToForce);
    infoCmd->footer(
        "With several files, each report follows the one before (JSON: an array); the exit status is the worst.\n"
        "Example:\n  veld info survey.zdat --blocks\n  veld info survey.zdat --json");

    CatOptions cat;
    Row0Option catRow0;
    std::int64_t catLength = 0;
    auto* catCmd = app.add_subcommand("cat", "write a range of the uncompressed file to standard output");
    catCmd->add_option("FILE", cat.file, "compressed data file")->required();
    addRow0(catCmd, catRow0, false);
    addSwap(catCmd, cat.swap);
    catCmd->add_option("--offset", cat.offset, "first position to write (default 0)")->check(wholeNumber(0));
    auto* lengthOpt = catCmd->add_option("--length", catLength, "bytes to write (default: to the end)")
                          ->check(wholeNumber(0));
    catCmd->add_option("--threads", cat.threads, "0: inflate on this thread; 2: a worker inflates ahead")
        ->check(CLI::IsMember({0, 2}));
    addJobs(catCmd, cat.jobs, "blocks inflated ahead at once while the range goes on in order");
    addCommon(catCmd, cat.quiet, ignoredForce, "accepted for uniformity; cat prints only the bytes", kNothingToForce);
    catCmd->footer(
        "Only the blocks that hold the range are read. Positions below P are the dictionary part.\n"
        "Example:\n  veld cat survey.zdat --offset 4190000 --length 1000 | od -A d -t x1 | head");

    VerifyOptions verify;
    Row0Option verifyRow0;
    auto* verifyCmd = app.add_subcommand("verify", "check every rule of the layout and inflate every block");
    verifyCmd->add_option("FILE", verify.files, "compressed data files")->required();
    addRow0(verifyCmd, verifyRow0, false);
    addSwap(verifyCmd, verify.swap);
    verifyCmd->add_option("--threads", verify.threads, "0: inflate on this thread; 2: inflate beside the reads")
        ->check(CLI::IsMember({0, 2}));
    addJobs(verifyCmd, verify.jobs, "2 or more: inflate beside the reads");
    addCommon(verifyCmd, verify.quiet, ignoredForce, "no progress bar and no summary line", kNothingToForce);
    verifyCmd->footer(
        "Each problem is named with its block number and file offset; exit status 1 if any file has one.\n"
        "Example:\n  veld verify survey.zdat --threads 2");

    AppendOptions append;
    Row0Option appendRow0;
    auto* appendCmd = app.add_subcommand("append", "add INPUT's bytes to the end of the case data");
    appendCmd->add_option("FILE", append.file, "compressed data file, changed in place")->required();
    appendCmd->add_option("INPUT", append.input, "plain bytes to add (more case records; '-': standard input)")
        ->required();
    CLI::Option* appendLevel =
        appendCmd->add_option("--level", append.level, "level of the new blocks (as pack's --level)")
            ->check(wholeNumber(1, 12));
    addRow0(appendCmd, appendRow0, false);
    addSwap(appendCmd, append.swap);
    appendCmd->add_flag("--in-place", append.inPlace,
                        "rewrite the old table and short last block in place (a crash leaves the file unreadable)");
    addJobs(appendCmd, append.jobs, "blocks compressed at once, written in order (the file is the same for any N)");
    addCommon(appendCmd, append.quiet, ignoredForce, "no summary", kNothingToForce);
    appendCmd->footer(
        "By default nothing the file's heading reaches is written: the new blocks and table go after\n"
        "the old table, reach the disk, and only then is the 24-byte heading rewritten. A crash or a\n"
        "failure at any moment leaves the file reading as before or as after; earlier bytes left\n"
        "behind are stale (veld info counts them). A short last block with a payload of at most\n"
        "64 KiB is copied after the table with the new bytes; a larger one stays as it is.\n"
        "With --in-place, a short last block is rewritten where it lies with the new bytes after the\n"
        "old ones, and the table and heading are written anew, as the format's own appender does.\n"
        "Either way the table and heading are written in this machine's byte order.\n"
        "Example:\n  veld append survey.zdat more-records.bin");

    RecoverOptions recover;
    Row0Option recoverRow0;
    auto* recoverCmd =
        app.add_subcommand("recover", "rebuild the table of a file whose table or heading is lost or damaged");
    recoverCmd->add_option("FILE", recover.file, "damaged compressed data file (left as it is)")->required();
    recoverCmd->add_option("OUTPUT", recover.output, "file to write (default FILE.recovered)");
    addRow0(recoverCmd, recoverRow0, false);
    addSwap(recoverCmd, recover.swap);
    recoverCmd->add_flag("--in-place", recover.inPlace, "replace FILE itself once the new file is complete");
    addCommon(recoverCmd, recover.quiet, recover.force, "no report", "replace an existing OUTPUT");
    recoverCmd->add_flag("--fill-damaged", recover.fillDamaged,
                         "keep every sound block where it lies; a damaged block's positions become zero bytes");
    recoverCmd->add_flag("--json", recover.json, "the report as one JSON object");
    recoverCmd->footer(
        "Uses the newest sound table found in the file (or walks the zlib streams from P + 24 on)\n"
        "and writes a valid file with the longest sound run of blocks from P, then says what was\n"
        "kept, what was lost and where damage starts. P is found from the heading, a table or the\n"
        "first block when --row0 is not given.\n"
        "Works on a killed pack's .veld-partial and on an append that died half-way.\n"
        "OUTPUT appears only once it is complete.\n"
        "Example:\n  veld recover survey.zdat.veld-partial survey.zdat");

    CompactOptions compact;
    Row0Option compactRow0;
    auto* compactCmd = app.add_subcommand("compact", "rewrite a file without the stale bytes appends left behind");
    compactCmd->add_option("FILE", compact.file, "compressed data file, replaced once the new one is complete")
        ->required();
    addRow0(compactCmd, compactRow0, false);
    addSwap(compactCmd, compact.swap);
    addCommon(compactCmd, compact.quiet, ignoredForce, "no summary", "accepted for uniformity; FILE is always replaced");
    compactCmd->footer("Payloads are copied as they are, not compressed again.\nExample:\n  veld compact survey.zdat");

    DemoOptions demo;
    demo.dir = defaultDir("veld-demo");
    auto* demoCmd = app.add_subcommand("demo", "pack, read back, append and verify built-in survey data");
    demoCmd->add_option("--dir", demo.dir, "where the demo's files go")->capture_default_str();
    bool demoQuiet = false;
    addCommon(demoCmd, demoQuiet, ignoredForce, "accepted for uniformity", kNothingToForce);
    demoCmd->footer("Exit status 0 only when every round trip matched.\nExample:\n  veld demo --dir /tmp/veld-demo");

    BenchOptions bench;
    bench.dir = defaultDir("veld-bench");
    auto* benchCmd = app.add_subcommand("bench", "measure the streams against references in the same run");
    benchCmd->add_option("--dir", bench.dir, "where the benchmark's files go")->capture_default_str();
    benchCmd->add_option("--size", bench.sizeMiB, "MiB of case data for the compressed rows (plain rows: 4 times)")
        ->capture_default_str()
        ->check(wholeNumber(1, 4096));
    benchCmd->add_flag("--json", bench.json, "the same table as JSON");
    bool benchQuiet = false;
    addCommon(benchCmd, benchQuiet, ignoredForce, "accepted for uniformity", kNothingToForce);
    benchCmd->footer("Example:\n  veld bench --size 64");

    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        sub->footer(sub->get_footer() +
                    "\nGlobal options, before or after the command: --engine NAME, --jobs N, --level N, -V/--version.");

    // An unknown first word reads better as a command than as a stray argument.
    if (argc >= 2 && argv[1][0] != '-') {
        bool known = false;
        for (const char* c : kCommands) known = known || std::strcmp(argv[1], c) == 0;
        if (!known) {
            reportError("", std::string("unknown command '") + argv[1] +
                                "' (commands: pack, unpack, info, cat, verify, append, recover, compact, demo, bench; see veld --help)");
            return kExitUsage;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        std::string text = e.what();
        if (text.empty()) text = e.get_name();
        if (text == "A subcommand is required") text = "a command is required";
        // The help of the command being parsed, when one was named.
        std::string help = "veld --help";
        for (const CLI::App* sub : app.get_subcommands()) help = "veld " + sub->get_name() + " --help";
        reportError("", text + " (see " + help + ")");
        return kExitUsage;
    }

    for (const JobsSetting& s : jobSettings) {
        if (!*s.cmd) continue;
        const bool threads = s.threads && s.threads->count();
        if (threads && (s.jobs->count() || globalJobsOpt->count())) {
            reportError("", "--threads and --jobs exclude each other (see veld " + s.cmd->get_name() + " --help)");
            return kExitUsage;
        }
        if (threads)
            *s.value = 0;
        else if (!s.jobs->count())
            *s.value = globalJobs;
    }

    veld::BlockEngine engine{};
    veld::blockEngineFromName(engineName.c_str(), engine);
    if (!veld::setBlockEngine(engine)) {
        reportError("", "--engine " + engineName + " is not in this build (see veld --help)");
        return kExitUsage;
    }
    // --level before the command counts where the command's own is not given.
    if (levelOpt->count() && !packLevel->count()) pack.level = level;
    if (levelOpt->count() && !appendLevel->count()) append.level = level;
    for (const int chosen : {*packCmd ? pack.level : 1, *appendCmd ? append.level : 1}) {
        if (chosen > veld::maxBlockLevel()) {
            reportError("", "--level " + std::to_string(chosen) + " is out of range for --engine " + engineName +
                                ": give " + (veld::maxBlockLevel() == 1 ? std::string("1, its only level") : "1 to " + std::to_string(veld::maxBlockLevel())) + " (see veld " +
                                (*packCmd ? "pack" : "append") + " --help)");
            return kExitUsage;
        }
    }

    if (*packCmd) return finishOutput(runReported(pack.input, [&] { return runPack(pack); }));
    if (*unpackCmd) {
        unpack.row0 = unpackRow0.get();
        return finishOutput(runReported(unpack.input, [&] { return runUnpack(unpack); }));
    }
    if (*infoCmd) {
        info.row0 = infoRow0.get();
        return finishOutput(runInfo(info));
    }
    if (*catCmd) {
        cat.row0 = catRow0.get();
        if (lengthOpt->count()) cat.length = catLength;
        return finishOutput(runReported(cat.file, [&] { return runCat(cat); }));
    }
    if (*verifyCmd) {
        verify.row0 = verifyRow0.get();
        return finishOutput(runVerify(verify));
    }
    if (*appendCmd) {
        append.row0 = appendRow0.get();
        return finishOutput(runReported(append.file, [&] { return runAppend(append); }));
    }
    if (*recoverCmd) {
        recover.row0 = recoverRow0.get();
        return finishOutput(runReported(recover.file, [&] { return runRecover(recover); }));
    }
    if (*compactCmd) {
        compact.row0 = compactRow0.get();
        return finishOutput(runReported(compact.file, [&] { return runCompact(compact); }));
    }
    if (*demoCmd) return finishOutput(runReported(demo.dir, [&] { return runDemo(demo); }));
    if (*benchCmd) return finishOutput(runReported(bench.dir, [&] { return runBench(bench); }));
    return kExitUsage;
}
