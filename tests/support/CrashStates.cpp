#include "CrashStates.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "crt.h"

namespace veldtest::crash {

namespace fs = std::filesystem;
using veld::crt::Call;

namespace {

constexpr std::int64_t kSector = 512;

// The base name when `path` lies directly in dir, else "".
std::string inDir(const fs::path& dir, const std::string& path) {
    const fs::path p(path);
    return p.parent_path().lexically_normal() == dir.lexically_normal() ? p.filename().string() : std::string();
}

}  // namespace

Recorder::Recorder(const fs::path& dir) : fDir(dir) {
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) fBefore[e.path().filename().string()] = readAll(e.path().string());
    fSeam = std::make_unique<veld::crt::CrtSeam>();
    fSeam->keepWrittenData(true);
}

Recorder::~Recorder() = default;

Log Recorder::finish() {
    const std::vector<veld::crt::CallRecord> calls = fSeam->calls();
    fSeam.reset();
    Log log;
    log.before = fBefore;
    int next = 0;
    std::map<std::string, int> names;  // what each name holds as the run goes on
    for (const auto& [name, bytes] : fBefore) names[name] = log.beforeIds[name] = next++;
    std::map<int, int> open;  // descriptor -> file
    for (const auto& c : calls) {
        switch (c.kind) {
            case Call::Open: {
                const std::string name = inDir(fDir, c.name);
                if (c.fd < 0 || name.empty()) break;
                auto it = names.find(name);
                if (it == names.end()) {
                    it = names.emplace(name, next++).first;
                    log.ops.push_back(Op{Op::Create, it->second, 0, {}, name, {}});
                } else if (c.whence & veld::crt::kO_TRUNC) {
                    log.ops.push_back(Op{Op::Truncate, it->second, 0, {}, {}, {}});
                }
                open[c.fd] = it->second;
                break;
            }
            case Call::Close:
                open.erase(c.fd);
                break;
            case Call::Write:
                if (c.result > 0 && open.count(c.fd))
                    log.ops.push_back(Op{Op::Write, open[c.fd], c.position, c.data, {}, {}});
                break;
            case Call::Truncate:
                if (c.result == 0 && open.count(c.fd))
                    log.ops.push_back(Op{Op::Truncate, open[c.fd], c.position, {}, {}, {}});
                break;
            case Call::Commit:
                if (c.result == 0 && open.count(c.fd)) log.ops.push_back(Op{Op::Sync, open[c.fd], 0, {}, {}, {}});
                break;
            case Call::Rename: {
                const std::string from = inDir(fDir, c.name), to = inDir(fDir, c.toName);
                if (c.result != 0 || from.empty() || to.empty() || !names.count(from)) break;
                names[to] = names[from];
                names.erase(from);
                log.ops.push_back(Op{Op::Rename, -1, 0, {}, from, to});
                break;
            }
            case Call::Remove: {
                const std::string name = inDir(fDir, c.name);
                if (c.result != 0 || name.empty()) break;
                names.erase(name);
                log.ops.push_back(Op{Op::Remove, -1, 0, {}, name, {}});
                break;
            }
            case Call::SyncDir:
                if (c.result == 0 && !inDir(fDir, c.name).empty()) log.ops.push_back(Op{Op::SyncDir});
                break;
            default:
                break;
        }
    }
    return log;
}

Log withoutSyncs(Log log) {
    log.ops.erase(std::remove_if(log.ops.begin(), log.ops.end(),
                                 [](const Op& o) { return o.kind == Op::Sync || o.kind == Op::SyncDir; }),
                  log.ops.end());
    return log;
}

namespace {

bool isNameOp(const Op& o) { return o.kind == Op::Create || o.kind == Op::Rename || o.kind == Op::Remove; }

// The disk after ops[0, cut) with the calls in `lost` missing and, when
// tornAt >= 0, the write ops[torn] landed only below (keepLow) or from tornAt.
DiskState replay(const Log& log, std::size_t cut, const std::vector<bool>& lost, std::size_t torn = SIZE_MAX,
                 std::int64_t tornAt = -1, bool keepLow = true) {
    std::map<int, Bytes> files;
    std::map<std::string, int> names;
    for (const auto& [name, id] : log.beforeIds) {
        names[name] = id;
        files[id] = log.before.at(name);
    }
    for (std::size_t i = 0; i < cut; ++i) {
        if (lost[i]) continue;
        const Op& o = log.ops[i];
        switch (o.kind) {
            case Op::Write: {
                std::int64_t from = o.pos, to = o.pos + static_cast<std::int64_t>(o.data.size());
                if (i == torn) (keepLow ? to : from) = tornAt;
                Bytes& f = files[o.file];
                if (static_cast<std::int64_t>(f.size()) < to) f.resize(static_cast<std::size_t>(to));
                std::copy(o.data.begin() + (from - o.pos), o.data.begin() + (to - o.pos), f.begin() + from);
                break;
            }
            case Op::Truncate:
                files[o.file].resize(static_cast<std::size_t>(o.pos));
                break;
            case Op::Create:
                names[o.name] = o.file;
                files[o.file].clear();
                break;
            case Op::Rename:
                // A creation that was lost leaves nothing to rename.
                if (names.count(o.name)) {
                    names[o.to] = names[o.name];
                    names.erase(o.name);
                }
                break;
            case Op::Remove:
                names.erase(o.name);
                break;
            default:
                break;
        }
    }
    DiskState s;
    for (const auto& [name, id] : names) s[name] = files[id];
    return s;
}

// Calls of ops[0, cut) that a power cut may still lose.
std::vector<std::size_t> notDurable(const Log& log, std::size_t cut) {
    std::set<int> synced;
    bool dirSynced = false;
    std::vector<std::size_t> out;
    for (std::size_t i = cut; i-- > 0;) {
        const Op& o = log.ops[i];
        if (o.kind == Op::Sync) synced.insert(o.file);
        if (o.kind == Op::SyncDir) dirSynced = true;
        if ((o.kind == Op::Write || o.kind == Op::Truncate) && !synced.count(o.file)) out.push_back(i);
        if (isNameOp(o) && !dirSynced) out.push_back(i);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// Sector boundaries strictly inside a write: first, last and evenly between.
std::vector<std::int64_t> tearPoints(const Op& w, std::size_t most) {
    const std::int64_t end = w.pos + static_cast<std::int64_t>(w.data.size());
    const std::int64_t first = (w.pos / kSector + 1) * kSector;
    if (first >= end) return {};
    const std::int64_t count = (end - 1 - first) / kSector + 1;
    std::vector<std::int64_t> out;
    const std::int64_t take = std::min<std::int64_t>(count, static_cast<std::int64_t>(most));
    for (std::int64_t k = 0; k < take; ++k) {
        const std::int64_t index = take == 1 ? 0 : k * (count - 1) / (take - 1);
        out.push_back(first + index * kSector);
    }
    return out;
}

std::uint64_t hashState(const DiskState& s) {
    std::uint64_t h = 1469598103934665603ull;
    // Eight bytes a step: states are megabytes, and there are thousands.
    auto mix = [&](const unsigned char* p, std::size_t n) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            h = (h ^ w) * 1099511628211ull;
            h ^= h >> 29;
        }
        for (; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    for (const auto& [name, bytes] : s) {
        mix(reinterpret_cast<const unsigned char*>(name.data()), name.size());
        const std::uint64_t n = bytes.size();
        mix(reinterpret_cast<const unsigned char*>(&n), sizeof n);
        mix(bytes.data(), bytes.size());
    }
    return h;
}

// Writes the state into dir, leaving long runs of zeros as holes.
void materialise(const DiskState& s, const fs::path& dir) {
    for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
    for (const auto& [name, bytes] : s) {
        const std::string path = (dir / name).string();
        constexpr std::size_t kChunk = 1 << 16;
        if (bytes.size() < 4 * kChunk) {
            writeAll(path, bytes);
            continue;
        }
        std::FILE* f = std::fopen(path.c_str(), "wb");
        for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
            const std::size_t n = std::min(kChunk, bytes.size() - at);
            if (std::all_of(bytes.begin() + at, bytes.begin() + at + n, [](unsigned char b) { return b == 0; }) &&
                at + n < bytes.size())
                continue;
            std::fseek(f, static_cast<long>(at), SEEK_SET);
            std::fwrite(bytes.data() + at, 1, n, f);
        }
        std::fclose(f);
    }
}

}  // namespace

fs::path memoryFileSystem() {
    std::error_code ec;
    return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::path();
}

std::string Report::summary() const {
    std::ostringstream out;
    out << states << " states, " << distinct << " distinct:";
    for (const auto& [verdict, n] : verdicts) out << " " << verdict << " " << n << ";";
    return out.str();
}

Report explore(const Log& log, const Judge& judge, const std::vector<std::string>& allowed, const Limits& limits) {
    Report report;
    std::set<std::uint64_t> seen;
    // Thousands of small files come and go.
    TempDir scratch(memoryFileSystem());
    std::mt19937 random(limits.seed);
    auto consider = [&](const DiskState& s) {
        ++report.states;
        if (!seen.insert(hashState(s)).second) return;
        ++report.distinct;
        materialise(s, scratch.path());
        const std::string verdict = judge(scratch.path());
        const bool fine = std::find(allowed.begin(), allowed.end(), verdict) != allowed.end();
        ++report.verdicts[fine ? verdict : "damaged"];
        if (!fine) {
            ++report.damaged;
            if (report.damage.size() < 8) report.damage.push_back(verdict);
        }
    };
    const std::size_t n = log.ops.size();
    for (std::size_t cut = 0; cut <= n; ++cut) {
        std::vector<bool> lost(n, false);
        consider(replay(log, cut, lost));
        const std::vector<std::size_t> open = notDurable(log, cut);
        const std::size_t firstSingle = open.size() > limits.singlesPerCut ? open.size() - limits.singlesPerCut : 0;
        for (std::size_t k = firstSingle; k < open.size(); ++k) {
            const std::size_t i = open[k];
            lost[i] = true;
            consider(replay(log, cut, lost));
            lost[i] = false;
        }
        if (open.size() > 1) {
            for (std::size_t r = 0; r < limits.randomSubsetsPerCut; ++r) {
                for (std::size_t i : open) lost[i] = random() % 2 == 0;
                consider(replay(log, cut, lost));
            }
            std::fill(lost.begin(), lost.end(), false);
        }
        for (std::size_t k = firstSingle; k < open.size(); ++k) {
            const std::size_t i = open[k];
            if (log.ops[i].kind != Op::Write) continue;
            for (std::int64_t at : tearPoints(log.ops[i], limits.tornBoundariesPerWrite))
                for (bool low : {true, false}) consider(replay(log, cut, lost, i, at, low));
        }
    }
    return report;
}

}  // namespace veldtest::crash
