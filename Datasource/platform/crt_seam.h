// Test seam of the C runtime layer: records every system call and can make
// the Nth call of a kind fail with a chosen errno, or (reads and writes)
// transfer fewer bytes than asked, as a disk filling up or a signal does. Installed by constructing a
// CrtSeam; removed by destroying it. Costs one branch when none is installed.
// Thread contract: safe for concurrent use.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace veld::crt {

// Truncate, Rename, Remove and SyncDir are the calls besides writes that
// change what a disk holds; a crash test replays them in order.
enum class Call { Open, Read, Write, Seek, Close, Commit, Truncate, Rename, Remove, SyncDir };

struct CallRecord {
    Call kind;
    int fd;                 // -1 for a failed open
    std::int64_t position;  // where the file pointer stood (reads/writes), the seek target, or the new size (truncate)
    int whence;             // seeks: origin; opens: the open flags
    std::uint64_t count;    // bytes asked for (reads/writes)
    std::int64_t result;    // what the call returned
    int share = 0;          // opens: the share flag
    int permission = 0;     // opens: the permission
    std::string name;       // the file name: given to an open, rename, remove or directory sync,
                            // else that of the descriptor's open
    std::string toName = {};                // renames: the new name
    std::vector<unsigned char> data = {};   // writes, with keepWrittenData(true): the bytes written
};

class CrtSeam {
public:
    CrtSeam();
    ~CrtSeam();
    CrtSeam(const CrtSeam&) = delete;
    CrtSeam& operator=(const CrtSeam&) = delete;

    // The nth call of this kind from now on (1-based) fails with err.
    void failNth(Call kind, int n, int err);
    // Every call of this kind from the nth on fails with err.
    void failFrom(Call kind, int n, int err);
    // Every read or write that starts at this offset fails with err, as a bad
    // region of a disk would, until stopFailing.
    void failAt(Call kind, std::int64_t position, int err);
    // Removes every planned failure.
    void stopFailing();
    // The nth read or write from now on moves at most `count` bytes.
    void shortNth(Call kind, int n, unsigned int count);

    // Every write record carries the bytes it wrote from now on (a crash
    // test rebuilds the disk's states from them).
    void keepWrittenData(bool keep);

    std::vector<CallRecord> calls() const;
    std::vector<CallRecord> calls(Call kind) const;
    std::vector<CallRecord> callsOn(int fd, Call kind) const;
    void clear();

    // Used by the runtime layer.
    // Counts the call; true when it is to fail (err set). `limit` becomes
    // the most bytes it may move (unchanged when no short count is planned).
    // `position` is where a read or write starts (-1 for other calls).
    bool shouldFail(Call kind, int& err, unsigned int* limit = nullptr, std::int64_t position = -1);
    std::int64_t positionOf(int fd);
    void record(Call kind, int fd, std::int64_t position, int whence, std::uint64_t count,
                std::int64_t result, int share = 0, int permission = 0, std::string name = {});
    void recordWrite(int fd, std::int64_t position, std::uint64_t count, std::int64_t result,
                     const void* bytes);
    void recordNamed(Call kind, std::string name, std::string toName, std::int64_t result);

private:
    void append(CallRecord r, const void* bytes);

    struct Plan {
        int nth = 0;
        bool sticky = false;
        int err = 0;
    };
    struct Short {
        int nth = 0;
        unsigned int count = 0;
    };
    mutable std::mutex fLock;
    std::vector<CallRecord> fCalls;
    std::map<Call, int> fSeen;
    std::map<Call, Plan> fPlans;
    std::map<std::pair<Call, std::int64_t>, int> fPositionPlans;
    std::map<Call, Short> fShorts;
    std::map<int, std::int64_t> fPositions;
    std::map<int, std::string> fNames;  // open descriptors' file names
    bool fKeepData = false;
};

}  // namespace veld::crt
