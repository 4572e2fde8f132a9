// Crash-state explorer: records, through the C runtime seam, every call that
// changes a file in one directory (writes with their bytes, syncs,
// truncations, creations, renames, removals, directory syncs), then rebuilds
// the states a disk may hold after a power cut at any moment of that run and
// hands each distinct one to a judge.
//
// The disk model: calls reach the disk in any order, except that a file's
// sync makes every earlier write and truncation of that file durable, and a
// directory sync every earlier creation, rename and removal. For every prefix
// of the calls the explorer builds the prefix itself; that prefix with each
// call that is not yet durable lost, one at a time and in seeded random
// subsets; and each such write torn at 512-byte sector boundaries, with
// either side of the boundary landing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "crt_seam.h"

namespace veldtest::crash {

struct Op {
    enum Kind { Write, Truncate, Sync, Create, Rename, Remove, SyncDir };
    Kind kind;
    int file = -1;          // Write, Truncate, Sync: which file (stable across renames)
    std::int64_t pos = 0;   // Write: offset; Truncate: the new size
    Bytes data;             // Write
    std::string name, to;   // Create, Rename, Remove: base names in the directory
};

// A directory's files by base name.
using DiskState = std::map<std::string, Bytes>;

struct Log {
    DiskState before;
    std::map<std::string, int> beforeIds;  // the file each name held before
    std::vector<Op> ops;
};

// Watches dir from construction (its files now are the state before) until
// finish. Writes through descriptors opened before it are not seen: the run
// must open the files it changes while the recorder watches.
class Recorder {
public:
    explicit Recorder(const std::filesystem::path& dir);
    ~Recorder();
    Log finish();
    // The seam that records, to make calls of the run fail as well.
    veld::crt::CrtSeam& seam() { return *fSeam; }

private:
    std::filesystem::path fDir;
    DiskState fBefore;
    std::unique_ptr<veld::crt::CrtSeam> fSeam;
};

// The log with every sync and directory sync taken out: a control that the
// explorer finds what missing syncs would cost.
Log withoutSyncs(Log log);

struct Limits {
    std::size_t singlesPerCut = 64;  // the latest calls not yet durable, each lost alone
    std::size_t randomSubsetsPerCut = 6;
    std::size_t tornBoundariesPerWrite = 4;  // first, last and some between
    std::uint32_t seed = 20261206;
};

struct Report {
    std::size_t states = 0;    // states built
    std::size_t distinct = 0;  // of them, judged (distinct contents)
    std::map<std::string, std::size_t> verdicts;  // judge's verdict -> distinct states
    std::size_t damaged = 0;                      // distinct states whose verdict is not allowed
    std::vector<std::string> damage;              // the first few of those verdicts
    std::string summary() const;
    std::size_t count(const std::string& verdict) const {
        const auto it = verdicts.find(verdict);
        return it == verdicts.end() ? 0 : it->second;
    }
};

// A memory file system to make the test's files in, where the system has one
// ("" otherwise): the runs sync often, and a disk's syncs only cost time here.
std::filesystem::path memoryFileSystem();

// Judges one state, materialised in a directory under the original base
// names: a short verdict ("before", "after", or what is wrong).
using Judge = std::function<std::string(const std::filesystem::path& dir)>;

// Every state of the log, judged; verdicts other than those in `allowed`
// are damage.
Report explore(const Log& log, const Judge& judge, const std::vector<std::string>& allowed = {"before", "after"},
               const Limits& limits = {});

}  // namespace veldtest::crash
