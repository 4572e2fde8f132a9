// Throughput of VELD_FileStream against a plain read(2)/write(2) loop of the
// same 64 KiB pieces over the same file, in one run, with the ratios printed
// at the end. Flags besides Google Benchmark's:
//   --size_mib=N        file size (default 256)
//   --dir=PATH          where the files go (default the temporary directory)
//   --compare_rounds=N  also run the library-callable comparison N rounds
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "stream_bench_passes.h"

namespace {

std::uint64_t gBytes = 256ull << 20;
std::string gReadPath, gWritePath;

void setBytes(benchmark::State& state, std::uint64_t perPass) {
    state.SetBytesProcessed(static_cast<std::int64_t>(perPass) * state.iterations());
}

void BM_PlainRead(benchmark::State& state) {
    std::vector<unsigned char> piece(veldbench::kPiece);
    std::uint64_t n = 0;
    for (auto _ : state) n = veldbench::plainReadPass(gReadPath, piece);
    if (n != gBytes) state.SkipWithError("short read");
    setBytes(state, n);
}

void BM_StreamRead(benchmark::State& state) {
    std::vector<unsigned char> piece(veldbench::kPiece);
    std::uint64_t n = 0;
    for (auto _ : state) n = veldbench::streamReadPass(gReadPath, piece, false);
    if (n != gBytes) state.SkipWithError("short read");
    setBytes(state, n);
}

void BM_StreamReadAhead(benchmark::State& state) {
    std::vector<unsigned char> piece(veldbench::kPiece);
    std::uint64_t n = 0;
    for (auto _ : state) n = veldbench::streamReadPass(gReadPath, piece, true);
    if (n != gBytes) state.SkipWithError("short read");
    setBytes(state, n);
}

void BM_PlainWrite(benchmark::State& state) {
    const std::vector<unsigned char> piece(veldbench::kPiece, 0x5A);
    std::uint64_t n = 0;
    for (auto _ : state) n = veldbench::plainWritePass(gWritePath, piece, gBytes);
    if (n != gBytes) state.SkipWithError("short write");
    setBytes(state, n);
}

void BM_StreamWrite(benchmark::State& state) {
    const std::vector<unsigned char> piece(veldbench::kPiece, 0x5A);
    std::uint64_t n = 0;
    for (auto _ : state) n = veldbench::streamWritePass(gWritePath, piece, gBytes);
    if (n != gBytes) state.SkipWithError("short write");
    setBytes(state, n);
}

#define VELD_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true)
VELD_BENCH(BM_PlainRead);
VELD_BENCH(BM_StreamRead);
VELD_BENCH(BM_StreamReadAhead);
VELD_BENCH(BM_PlainWrite);
VELD_BENCH(BM_StreamWrite);

// Keeps the median throughput of every benchmark for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) fMedian[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatios() const {
        std::printf("\nmedian throughput, MiB/s, and ratio to the plain loop:\n");
        line("stream read (page cache)", "BM_StreamRead", "BM_PlainRead");
        line("stream read with read-ahead", "BM_StreamReadAhead", "BM_PlainRead");
        line("stream write", "BM_StreamWrite", "BM_PlainWrite");
    }

private:
    void line(const char* what, const char* mine, const char* plain) const {
        const auto m = fMedian.find(mine), p = fMedian.find(plain);
        if (m == fMedian.end() || p == fMedian.end() || p->second <= 0) return;
        std::printf("  %-30s %9.0f vs %9.0f   ratio %.3f\n", what, m->second / 1048576.0,
                    p->second / 1048576.0, m->second / p->second);
    }

    std::map<std::string, double> fMedian;
};

bool takeFlag(const char* arg, const char* name, std::string& value) {
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
    value = arg + n + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = std::filesystem::temp_directory_path().string(), value;
    int compareRounds = 0;
    bool interleaveGiven = false;
    std::vector<char*> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (takeFlag(argv[i], "--size_mib", value))
            gBytes = std::strtoull(value.c_str(), nullptr, 10) << 20;
        else if (takeFlag(argv[i], "--dir", value))
            dir = value;
        else if (takeFlag(argv[i], "--compare_rounds", value))
            compareRounds = std::atoi(value.c_str());
        else {
            if (std::strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0) interleaveGiven = true;
            args.push_back(argv[i]);
        }
    }
    // Interleaved repetitions: a busy moment of a shared machine hurts every way alike.
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!interleaveGiven) args.push_back(interleave);
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());

    gReadPath = dir + "/veld-stream-bench-read.bin";
    gWritePath = dir + "/veld-stream-bench-write.bin";
    if (!veldbench::makeFile(gReadPath, gBytes) || !veldbench::makeFile(gWritePath, gBytes)) {
        std::fprintf(stderr, "cannot make %s\n", gReadPath.c_str());
        return 1;
    }
    // Once through so that every way reads from the page cache.
    std::vector<unsigned char> piece(veldbench::kPiece);
    veldbench::plainReadPass(gReadPath, piece);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    std::remove(gReadPath.c_str());
    std::remove(gWritePath.c_str());

    if (compareRounds > 0) {
        const auto c = veldbench::compareStreams(dir, gBytes, compareRounds);
        std::printf("\nbest of %d interleaved rounds, MiB/s, and ratio to the plain loop:\n", compareRounds);
        const double M = 1048576.0;
        std::printf("  stream read        %9.0f vs %9.0f   ratio %.3f\n", c.streamRead / M, c.plainRead / M,
                    c.streamRead / c.plainRead);
        std::printf("  read-ahead read    %9.0f vs %9.0f   ratio %.3f\n", c.readAheadRead / M, c.plainRead / M,
                    c.readAheadRead / c.plainRead);
        std::printf("  stream write       %9.0f vs %9.0f   ratio %.3f\n", c.streamWrite / M, c.plainWrite / M,
                    c.streamWrite / c.plainWrite);
    }
    benchmark::Shutdown();
    return 0;
}
