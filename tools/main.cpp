// The veld program: the library's streams at work on real files from the shell.
// This file only wires the command line to the commands.
#include <CLI/CLI.hpp>

#include <algorithm>
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

void addRow0(CLI::App* cmd, Row0Option& row0, bool required) {
    row0.option = cmd->add_option("--row0", row0.value,
                                  required ? "P, where the dictionary part ends and the case data begins"
                                           : "P, where the dictionary part ends (found in the file when omitted)");
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "veld: pack, inspect, extract, verify and append to compressed data files.\n"
        "A data file is a plain dictionary part (bytes 0 to P-1) followed by the case data,\n"
        "stored as independent zlib blocks with a position-info table and a 24-byte heading at P.\n"
        "Positions are those of the uncompressed file.\n",
        "veld"};
    app.set_version_flag("--version", "veld 0.1.0");
    app.require_subcommand(1);
    app.footer(
        "Examples:\n"
        "  veld pack survey.dat survey.zdat --row0 49194   compress the case data from byte 49194 on\n"
        "  veld info survey.zdat                           what the heading and table say\n"
        "  veld verify survey.zdat                         check every block\n"
        "  veld recover survey.zdat fixed.zdat             keep every complete block of a damaged file\n"
        "  veld demo                                       the whole round trip on built-in data\n"
        "Run 'veld COMMAND --help' for a command's options.\n"
        "Exit status: 0 success, 1 damaged file or I/O error, 2 usage error.");

    // --jobs: workers for the blocks, by default one per core; --threads, when
    // given, takes the described one-worker settings instead.
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // Commands whose --threads was given then work without --jobs' workers.
    std::vector<std::pair<CLI::Option*, int*>> threadSettings;
    auto addJobs = [cores, &threadSettings](CLI::App* cmd, int& jobs, const char* what) {
        jobs = cores;
        CLI::Option* jobsOpt = cmd->add_option("--jobs", jobs, what)->capture_default_str()->check(CLI::Range(1, 256));
        if (CLI::Option* threadsOpt = cmd->get_option_no_throw("--threads")) {
            threadsOpt->excludes(jobsOpt);
            threadSettings.emplace_back(threadsOpt, &jobs);
        }
    };
    std::string engineName = "auto";
    app.add_option("--engine", engineName,
                   "block engine: auto (fastest built in), zlib, libdeflate or isal; every one writes zlib streams")
        ->check(CLI::IsMember({"auto", "zlib", "libdeflate", "isal"}))
        ->capture_default_str();

    PackOptions pack;
    auto* packCmd = app.add_subcommand("pack", "compress the case data of an uncompressed file");
    packCmd->add_option("INPUT", pack.input, "uncompressed file: dictionary part, then case data")->required();
    packCmd->add_option("OUTPUT", pack.output, "compressed data file to write")->required();
    packCmd->add_option("--row0", pack.row0, "P, where the dictionary part ends and the case data begins")
        ->required()
        ->check(CLI::PositiveNumber);
    packCmd->add_option("--threads", pack.threads, "0: compress on this thread; 1: a worker compresses and writes")
        ->check(CLI::IsMember({0, 1}));
    packCmd->add_option("--flush-every", pack.flushEvery, "end a block early after each BYTES of case data")
        ->check(CLI::PositiveNumber);
    addJobs(packCmd, pack.jobs, "blocks compressed at once, written in order (the file is the same for any N)");
    packCmd->add_flag("--quiet", pack.quiet, "no progress bar and no summary");
    packCmd->footer(
        "Bytes 0 to P-1 are copied as they are; the rest becomes blocks of 4,190,208 bytes.\n"
        "OUTPUT appears only once it is complete.\n"
        "Example:\n  veld pack survey.dat survey.zdat --row0 49194 --threads 1");

    UnpackOptions unpack;
    Row0Option unpackRow0;
    auto* unpackCmd = app.add_subcommand("unpack", "write the uncompressed file back");
    unpackCmd->add_option("INPUT", unpack.input, "compressed data file")->required();
    unpackCmd->add_option("OUTPUT", unpack.output, "uncompressed file to write")->required();
    addRow0(unpackCmd, unpackRow0, false);
    addSwap(unpackCmd, unpack.swap);
    unpackCmd->add_option("--threads", unpack.threads, "0: inflate on this thread; 2: a worker inflates ahead")
        ->check(CLI::IsMember({0, 2}));
    addJobs(unpackCmd, unpack.jobs, "blocks inflated ahead at once");
    unpackCmd->add_flag("--quiet", unpack.quiet, "no progress bar and no summary");
    unpackCmd->footer("OUTPUT appears only once it is complete.\nExample:\n  veld unpack survey.zdat survey.dat --threads 2");

    InfoOptions info;
    Row0Option infoRow0;
    auto* infoCmd = app.add_subcommand("info", "show the heading, the table's summary and the blocks");
    infoCmd->add_option("FILE", info.file, "compressed data file")->required();
    addRow0(infoCmd, infoRow0, false);
    addSwap(infoCmd, info.swap);
    infoCmd->add_flag("--json", info.json, "one JSON object instead of text");
    infoCmd->add_flag("--blocks", info.blocks, "one line (or JSON object) per block");
    infoCmd->footer("Example:\n  veld info survey.zdat --blocks\n  veld info survey.zdat --json");

    CatOptions cat;
    Row0Option catRow0;
    std::int64_t catLength = 0;
    auto* catCmd = app.add_subcommand("cat", "write a range of the uncompressed file to standard output");
    catCmd->add_option("FILE", cat.file, "compressed data file")->required();
    addRow0(catCmd, catRow0, false);
    addSwap(catCmd, cat.swap);
    catCmd->add_option("--offset", cat.offset, "first position to write (default 0)")->check(CLI::NonNegativeNumber);
    auto* lengthOpt = catCmd->add_option("--length", catLength, "bytes to write (default: to the end)")
                          ->check(CLI::NonNegativeNumber);
    catCmd->add_option("--threads", cat.threads, "0: inflate on this thread; 2: a worker inflates ahead")
        ->check(CLI::IsMember({0, 2}));
    addJobs(catCmd, cat.jobs, "blocks inflated ahead at once while the range goes on in order");
    catCmd->footer(
        "Only the blocks that hold the range are read. Positions below P are the dictionary part.\n"
        "Example:\n  veld cat survey.zdat --offset 4190000 --length 1000 | od -A d -t x1 | head");

    VerifyOptions verify;
    Row0Option verifyRow0;
    auto* verifyCmd = app.add_subcommand("verify", "check every rule of the layout and inflate every block");
    verifyCmd->add_option("FILE", verify.file, "compressed data file")->required();
    addRow0(verifyCmd, verifyRow0, false);
    addSwap(verifyCmd, verify.swap);
    verifyCmd->add_option("--threads", verify.threads, "0: inflate on this thread; 2: inflate beside the reads")
        ->check(CLI::IsMember({0, 2}));
    addJobs(verifyCmd, verify.jobs, "2 or more: inflate beside the reads");
    verifyCmd->add_flag("--quiet", verify.quiet, "no progress bar and no summary line");
    verifyCmd->footer(
        "Each problem is named with its block number and file offset; exit status 1 if any.\n"
        "Example:\n  veld verify survey.zdat --threads 2");

    AppendOptions append;
    Row0Option appendRow0;
    auto* appendCmd = app.add_subcommand("append", "add INPUT's bytes to the end of the case data");
    appendCmd->add_option("FILE", append.file, "compressed data file, changed in place")->required();
    appendCmd->add_option("INPUT", append.input, "plain bytes to add (more case records)")->required();
    addRow0(appendCmd, appendRow0, false);
    addSwap(appendCmd, append.swap);
    appendCmd->add_flag("--in-place", append.inPlace,
                        "rewrite the old table and short last block in place (a crash leaves the file unreadable)");
    addJobs(appendCmd, append.jobs, "blocks compressed at once, written in order (the file is the same for any N)");
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
    recoverCmd->add_flag("--quiet", recover.quiet, "no report");
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
    compactCmd->add_flag("--quiet", compact.quiet, "no summary");
    compactCmd->footer("Payloads are copied as they are, not compressed again.\nExample:\n  veld compact survey.zdat");

    DemoOptions demo;
    demo.dir = defaultDir("veld-demo");
    auto* demoCmd = app.add_subcommand("demo", "pack, read back, append and verify built-in survey data");
    demoCmd->add_option("--dir", demo.dir, "where the demo's files go")->capture_default_str();
    demoCmd->footer("Exit status 0 only when every round trip matched.\nExample:\n  veld demo --dir /tmp/veld-demo");

    BenchOptions bench;
    bench.dir = defaultDir("veld-bench");
    auto* benchCmd = app.add_subcommand("bench", "measure the streams against references in the same run");
    benchCmd->add_option("--dir", bench.dir, "where the benchmark's files go")->capture_default_str();
    benchCmd->add_option("--size", bench.sizeMiB, "MiB of case data for the compressed rows (plain rows: 4 times)")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    benchCmd->add_flag("--json", bench.json, "the same table as JSON");
    benchCmd->footer("Example:\n  veld bench --size 64");

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
        reportError("", text + " (see veld --help)");
        return kExitUsage;
    }

    for (auto& [threadsOpt, jobs] : threadSettings)
        if (threadsOpt->count()) *jobs = 0;

    veld::BlockEngine engine{};
    veld::blockEngineFromName(engineName.c_str(), engine);
    if (!veld::setBlockEngine(engine)) {
        reportError("", "--engine " + engineName + " is not in this build (see veld --version)");
        return kExitUsage;
    }

    if (*packCmd) return runReported(pack.input, [&] { return runPack(pack); });
    if (*unpackCmd) {
        unpack.row0 = unpackRow0.get();
        return runReported(unpack.input, [&] { return runUnpack(unpack); });
    }
    if (*infoCmd) {
        info.row0 = infoRow0.get();
        return runReported(info.file, [&] { return runInfo(info); });
    }
    if (*catCmd) {
        cat.row0 = catRow0.get();
        if (lengthOpt->count()) cat.length = catLength;
        return runReported(cat.file, [&] { return runCat(cat); });
    }
    if (*verifyCmd) {
        verify.row0 = verifyRow0.get();
        return runReported(verify.file, [&] { return runVerify(verify); });
    }
    if (*appendCmd) {
        append.row0 = appendRow0.get();
        return runReported(append.file, [&] { return runAppend(append); });
    }
    if (*recoverCmd) {
        recover.row0 = recoverRow0.get();
        return runReported(recover.file, [&] { return runRecover(recover); });
    }
    if (*compactCmd) {
        compact.row0 = compactRow0.get();
        return runReported(compact.file, [&] { return runCompact(compact); });
    }
    if (*demoCmd) return runReported(demo.dir, [&] { return runDemo(demo); });
    if (*benchCmd) return runReported(bench.dir, [&] { return runBench(bench); });
    return kExitUsage;
}
