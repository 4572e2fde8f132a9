// The crash-state explorer's disk model on runs small enough to list every
// state by hand: the states it must build, and only those.
#include <gtest/gtest.h>

#include <set>

#include "CrashStates.h"
#include "crt.h"

using namespace veldtest;
using namespace veldtest::crash;
namespace fs = std::filesystem;

namespace {

// Every distinct state of the log as "name=contents;..." (files in name order).
std::set<std::string> statesOf(const Log& log) {
    std::set<std::string> states;
    explore(log, [&](const fs::path& dir) {
        std::string s;
        for (const auto& e : fs::directory_iterator(dir)) {
            const Bytes b = readAll(e.path().string());
            s += e.path().filename().string() + "=" + std::string(b.begin(), b.end()) + ";";
        }
        // directory_iterator's order is the file system's.
        std::set<std::string> parts;
        std::string sorted;
        for (std::size_t at = 0, end; (end = s.find(';', at)) != std::string::npos; at = end + 1)
            parts.insert(s.substr(at, end - at + 1));
        for (const auto& p : parts) sorted += p;
        states.insert(sorted);
        return std::string("before");
    });
    return states;
}

Log record(const std::function<void(const std::string& dir)>& run, const std::map<std::string, std::string>& files) {
    TempDir dir;
    for (const auto& [name, text] : files) writeAll(dir.file(name), Bytes(text.begin(), text.end()));
    Recorder recorder(dir.path());
    run(dir.path().string());
    return recorder.finish();
}

int openFile(const std::string& path, int flags) {
    return veld::crt::sopen(path, flags | veld::crt::kO_BINARY, veld::crt::kSH_DENYWR,
                            veld::crt::kS_IREAD | veld::crt::kS_IWRITE);
}

void writeAt(int fd, std::int64_t at, const std::string& text) {
    veld::crt::_lseeki64(fd, at, veld::crt::kSEEK_SET);
    veld::crt::_write(fd, text.data(), static_cast<unsigned>(text.size()));
}

}  // namespace

TEST(CrashStates, UnsyncedWritesAreLostAloneOrTogetherAndSyncedOnesStay) {
    const Log log = record(
        [](const std::string& dir) {
            const int fd = openFile(dir + "/f", veld::crt::kO_RDWR);
            writeAt(fd, 0, "A");
            veld::crt::_commit(fd);
            writeAt(fd, 1, "B");
            writeAt(fd, 2, "C");
            veld::crt::_close(fd);
        },
        {{"f", "xyz"}});
    ASSERT_EQ(log.ops.size(), 4u);
    // A is durable once synced; B and C each may or may not have landed.
    EXPECT_EQ(statesOf(log), (std::set<std::string>{"f=xyz;", "f=Ayz;", "f=ABz;", "f=AyC;", "f=ABC;"}));
    // Without the sync, A may be lost behind B and C as well.
    const std::set<std::string> unsynced = statesOf(withoutSyncs(log));
    EXPECT_TRUE(unsynced.count("f=xBC;"));
    EXPECT_TRUE(unsynced.count("f=xyC;"));
}

TEST(CrashStates, WritesTearAtSectorBoundariesEitherSideLanding) {
    const std::string big(1024, 'n');
    const Log log = record(
        [&](const std::string& dir) {
            const int fd = openFile(dir + "/f", veld::crt::kO_RDWR);
            writeAt(fd, 500, big.substr(0, 24));  // across 512
            veld::crt::_close(fd);
        },
        {{"f", std::string(1024, 'o')}});
    const auto states = statesOf(log);
    auto with = [](std::int64_t from, std::int64_t to) {
        std::string s(1024, 'o');
        for (std::int64_t i = from; i < to; ++i) s[static_cast<std::size_t>(i)] = 'n';
        return "f=" + s + ";";
    };
    EXPECT_EQ(states, (std::set<std::string>{with(0, 0), with(500, 524), with(500, 512), with(512, 524)}));
}

TEST(CrashStates, ARenameIsDurableOnlyOnceItsDirectoryIsSynced) {
    const Log log = record(
        [](const std::string& dir) {
            const int fd = openFile(dir + "/f.tmp", veld::crt::kO_RDWR | veld::crt::kO_CREAT);
            writeAt(fd, 0, "new");
            veld::crt::_commit(fd);
            veld::crt::_close(fd);
            veld::crt::renameFile(dir + "/f.tmp", dir + "/f");
            veld::crt::syncDirectoryOf(dir + "/f");
        },
        {{"f", "old"}});
    const auto states = statesOf(log);
    // The name holds the old file or the new one, never anything else; the
    // temporary may linger, empty or complete, while the rename is not durable.
    for (const auto& s : states)
        EXPECT_TRUE(s.find("f=old;") != std::string::npos || s.find("f=new;") != std::string::npos) << s;
    EXPECT_TRUE(states.count("f=new;"));
    EXPECT_TRUE(states.count("f.tmp=new;f=old;"));
    EXPECT_TRUE(states.count("f.tmp=;f=old;"));
    // Without the file's sync the rename may land before the bytes do.
    EXPECT_TRUE(statesOf(withoutSyncs(log)).count("f=;"));
}

TEST(CrashStates, TruncationIsLostUntilSynced) {
    const Log log = record(
        [](const std::string& dir) {
            const int fd = openFile(dir + "/f", veld::crt::kO_RDWR);
            veld::crt::_chsize_s(fd, 2);
            veld::crt::_close(fd);
        },
        {{"f", "abcdef"}});
    EXPECT_EQ(statesOf(log), (std::set<std::string>{"f=abcdef;", "f=ab;"}));
}
