// The veld program's commands. Each takes its parsed options, does its work
// through the library's public classes, and returns an exit status or raises
// (CliError or the library's own exceptions; main turns them into one line).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldcli {

class Progress;
class PendingOutput;
class ByteSink;

struct PackOptions {
    std::string input, output;  // "-": standard input, standard output
    std::int64_t row0 = 0;
    int level = 1;  // 1 fastest (the format's own) to maxBlockLevel()
    int threads = 0;
    int jobs = 0;  // workers when --threads is not given (setWorkers)
    std::uint64_t flushEvery = 0;  // 0: no Flush in the middle of the case data
    bool quiet = false;
    bool force = false;  // replace an existing output; pack a file that is already packed
};

struct UnpackOptions {
    std::string input, output;  // output "-": standard output
    std::optional<std::int64_t> row0;
    bool swap = false;
    int threads = 0;
    int jobs = 0;
    bool quiet = false;
    bool force = false;
};

struct InfoOptions {
    std::vector<std::string> files;
    std::optional<std::int64_t> row0;
    bool swap = false, json = false, blocks = false, quiet = false;
};

struct CatOptions {
    std::string file;
    std::optional<std::int64_t> row0;
    bool swap = false;
    std::int64_t offset = 0;
    std::optional<std::int64_t> length;
    int threads = 0;
    int jobs = 0;
    bool quiet = false;  // nothing to leave out: cat prints only the bytes
};

struct VerifyOptions {
    std::vector<std::string> files;
    std::optional<std::int64_t> row0;
    bool swap = false;
    int threads = 0;
    int jobs = 0;
    bool quiet = false;
};

struct AppendOptions {
    std::string file, input;  // input "-": standard input
    int level = 1;
    std::optional<std::int64_t> row0;
    bool swap = false;
    bool inPlace = false;  // the described layout instead of the safe append
    int jobs = 0;          // workers compressing the new blocks
    bool quiet = false;
};

struct RecoverOptions {
    std::string file, output;  // output "": FILE.recovered, or FILE itself with inPlace
    std::optional<std::int64_t> row0;
    bool swap = false, inPlace = false, quiet = false;
    bool force = false;        // replace an existing OUTPUT
    bool fillDamaged = false;  // keep every sound block, damaged positions as zero bytes
    bool json = false;
};

struct CompactOptions {
    std::string file;
    std::optional<std::int64_t> row0;
    bool swap = false, quiet = false;
};

struct DemoOptions {
    std::string dir;
};

struct BenchOptions {
    std::string dir;
    std::int64_t sizeMiB = 64;
    bool json = false;
};

int runPack(const PackOptions& o);
int runUnpack(const UnpackOptions& o);
int runInfo(const InfoOptions& o);
int runCat(const CatOptions& o);
int runVerify(const VerifyOptions& o);
int runAppend(const AppendOptions& o);
int runRecover(const RecoverOptions& o);
int runCompact(const CompactOptions& o);
int runDemo(const DemoOptions& o);
int runBench(const BenchOptions& o);

// The work of pack, unpack and append, shared with demo and bench.
struct Transfer {
    std::int64_t row0 = 0;
    std::uint64_t caseBytes = 0;  // uncompressed case data moved
    std::int64_t fileSize = 0;    // of the file written
};
// `pending`, if given, is the output's PendingOutput, told as the output grows.
Transfer packFile(const PackOptions& o, Progress* progress, PendingOutput* pending = nullptr);
// jobs >= 1 with threads 0: that many workers inflate ahead.
Transfer unpackInto(const std::string& input, ByteSink& out, std::int64_t row0, bool swap, int threads,
                    Progress* progress, int jobs = 0, PendingOutput* pending = nullptr);
Transfer unpackFile(const std::string& input, const std::string& output, std::int64_t row0,
                    bool swap, int threads, Progress* progress, int jobs = 0, PendingOutput* pending = nullptr);
// Safe by default: until the new heading is written the file reads as before,
// and a failure leaves it so. inPlace rewrites the old table and short block.
// jobs >= 1: that many workers compress the new blocks.
// level: of the new blocks (1 to maxBlockLevel()).
Transfer appendFile(const std::string& file, const std::string& input, std::int64_t row0, bool swap,
                    bool inPlace = false, int jobs = 0, int level = 1);

}  // namespace veldcli
