#include "CommandFaults.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "TestFiles.h"
#include "crt.h"
#include "crt_seam.h"

namespace veldtest {

namespace {

using veld::crt::Call;
using veld::crt::CallRecord;
using veld::crt::CrtSeam;

constexpr const char* kPartial = ".veld-partial";
// A failed directory sync is not among them: the output is complete and in
// place by then, so the command keeps its success.
const Call kKinds[] = {Call::Open, Call::Read, Call::Write, Call::Seek, Call::Close, Call::Commit, Call::Rename};

struct Fault {
    Call kind;
    int nth;                // among the run's calls of this kind, from 1
    int err;                // errno of the failure; with `cut`, of the next write (0: none)
    unsigned int cut = 0;   // bytes the nth write moves, 0 for no cut
};

std::string describe(const Fault& f) {
    static const std::map<Call, const char*> names = {{Call::Open, "open"}, {Call::Read, "read"},
                                                      {Call::Write, "write"}, {Call::Seek, "seek"},
                                                      {Call::Close, "close"},
                                                      {Call::Commit, "sync"}, {Call::Rename, "rename"}};
    std::string text = std::string(names.at(f.kind)) + " #" + std::to_string(f.nth);
    if (f.cut) text += " cut to " + std::to_string(f.cut) + " bytes";
    if (f.err) text += std::string(f.cut ? ", then " : " fails with ") + std::strerror(f.err);
    return text;
}

struct Outcome {
    int status;
    std::string error;
    std::vector<CallRecord> calls;
};

Outcome runUnder(const CommandUnderTest& c, const std::function<void(CrtSeam&)>& plan) {
    if (c.reset) c.reset();
    CrtSeam seam;
    plan(seam);
    testing::internal::CaptureStderr();
    const int status = c.run();
    Outcome o{status, testing::internal::GetCapturedStderr(), {}};
    o.calls = seam.calls();
    return o;
}

// The call the fault hit, and the file it worked on (from the open that gave
// its descriptor); false if the run made no such call.
bool faultedFile(const Outcome& o, const Fault& f, std::string& name, bool& writable, std::size_t& at) {
    const CallRecord* hit = nullptr;
    for (std::size_t i = 0; i < o.calls.size() && !hit; ++i) {
        const CallRecord& r = o.calls[i];
        if (r.kind != f.kind) continue;
        const bool failed = r.result == -1;
        const bool cut = f.cut && r.result == static_cast<std::int64_t>(f.cut) && r.count > f.cut;
        if (failed || cut) {
            hit = &r;
            at = i;
        }
    }
    if (!hit) return false;
    if (hit->kind == Call::Rename) {
        name = hit->toName;
        writable = true;
        return true;
    }
    for (std::size_t i = at + 1; i-- > 0;) {
        const CallRecord& r = o.calls[i];
        if (r.kind == Call::Open && (i == at || r.fd == hit->fd)) {
            name = r.name;
            writable = (r.whence & (veld::crt::kO_WRONLY | veld::crt::kO_RDWR)) != 0;
            return true;
        }
    }
    return false;
}

std::string finalName(std::string name) {
    const std::string suffix = kPartial;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    return name;
}

void judge(const CommandUnderTest& c, const Fault& f, const Outcome& o, const Bytes& reference,
           const std::map<std::string, Bytes>& originals) {
    SCOPED_TRACE(describe(f) + "; stderr: " + o.error);
    for (const auto& [path, bytes] : originals) EXPECT_EQ(readAll(path), bytes) << path << " changed";

    std::string name;
    bool writable = false;
    std::size_t at = 0;
    const bool found = faultedFile(o, f, name, writable, at);
    const bool onlyCut = f.cut && f.err == 0;
    if (onlyCut || (o.status == 0 && (!found || !writable))) {
        EXPECT_EQ(o.status, 0);
        EXPECT_TRUE(readAll(c.output) == reference) << "the output differs from a clean run's";
        EXPECT_FALSE(std::filesystem::exists(c.output + kPartial));
        return;
    }
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.error.rfind("veld: ", 0), 0u);
    EXPECT_EQ(o.error.find('\n'), o.error.size() - 1) << "one line";
    EXPECT_NE(o.error.find(finalName(name)), std::string::npos) << "names " << finalName(name);
    EXPECT_EQ(o.error.find(kPartial), std::string::npos) << "names the temporary file";
    if (f.err == ENOSPC) {
        EXPECT_NE(o.error.find("no space left on device"), std::string::npos);
    }
    if (c.outputIsNew) {
        EXPECT_FALSE(std::filesystem::exists(c.output)) << "output under its final name";
        EXPECT_FALSE(std::filesystem::exists(c.output + kPartial)) << "temporary left behind";
    }
    if (c.commits && found) {
        for (std::size_t i = at + 1; i < o.calls.size(); ++i)
            EXPECT_FALSE(c.commits(o.calls[i])) << "committed after the failure (call " << i << ")";
    }
    if (c.afterFailure) c.afterFailure();
}

}  // namespace

void runFaultMatrix(const CommandUnderTest& c) {
    std::map<std::string, Bytes> originals;
    for (const auto& path : c.untouched) originals[path] = readAll(path);

    const Outcome clean = runUnder(c, [](CrtSeam&) {});
    ASSERT_EQ(clean.status, 0) << clean.error;
    const Bytes reference = readAll(c.output);
    std::map<Call, std::vector<CallRecord>> byKind;
    for (const auto& r : clean.calls) byKind[r.kind].push_back(r);

    std::vector<Fault> faults;
    for (Call kind : kKinds) {
        const auto& calls = byKind[kind];
        for (int n = 1; n <= static_cast<int>(calls.size()); ++n) {
            faults.push_back({kind, n, EIO});
            if (kind != Call::Write) continue;
            faults.push_back({kind, n, ENOSPC});
            const auto half = static_cast<unsigned int>(calls[n - 1].count / 2);
            if (half == 0) continue;
            faults.push_back({kind, n, 0, half});
            faults.push_back({kind, n, ENOSPC, half});
        }
    }
    for (const Fault& f : faults) {
        const Outcome o = runUnder(c, [&f](CrtSeam& seam) {
            if (f.cut) {
                seam.shortNth(f.kind, f.nth, f.cut);
                if (f.err) seam.failNth(f.kind, f.nth + 1, f.err);
            } else {
                seam.failNth(f.kind, f.nth, f.err);
            }
        });
        judge(c, f, o, reference, originals);
        if (testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace veldtest
