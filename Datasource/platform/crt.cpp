#include "crt.h"

#include <atomic>
#include <cerrno>
#include <type_traits>

#include "crt_memory.h"
#include "crt_seam.h"
#include "remote_file.h"

namespace veld::crt {

namespace {
std::atomic<CrtSeam*> gSeam{nullptr};
}

CrtSeam::CrtSeam() { gSeam.store(this); }
CrtSeam::~CrtSeam() { gSeam.store(nullptr); }

void CrtSeam::failNth(Call kind, int n, int err) {
    std::lock_guard<std::mutex> g(fLock);
    fPlans[kind] = Plan{fSeen[kind] + n, false, err};
}

void CrtSeam::failFrom(Call kind, int n, int err) {
    std::lock_guard<std::mutex> g(fLock);
    fPlans[kind] = Plan{fSeen[kind] + n, true, err};
}

void CrtSeam::failAt(Call kind, std::int64_t position, int err) {
    std::lock_guard<std::mutex> g(fLock);
    fPositionPlans[{kind, position}] = err;
}

void CrtSeam::stopFailing() {
    std::lock_guard<std::mutex> g(fLock);
    fPlans.clear();
    fPositionPlans.clear();
    fShorts.clear();
}

void CrtSeam::keepWrittenData(bool keep) {
    std::lock_guard<std::mutex> g(fLock);
    fKeepData = keep;
}

std::vector<CallRecord> CrtSeam::calls() const {
    std::lock_guard<std::mutex> g(fLock);
    return fCalls;
}

std::vector<CallRecord> CrtSeam::calls(Call kind) const {
    std::lock_guard<std::mutex> g(fLock);
    std::vector<CallRecord> out;
    for (const auto& c : fCalls)
        if (c.kind == kind) out.push_back(c);
    return out;
}

std::vector<CallRecord> CrtSeam::callsOn(int fd, Call kind) const {
    std::lock_guard<std::mutex> g(fLock);
    std::vector<CallRecord> out;
    for (const auto& c : fCalls)
        if (c.kind == kind && c.fd == fd) out.push_back(c);
    return out;
}

void CrtSeam::clear() {
    std::lock_guard<std::mutex> g(fLock);
    fCalls.clear();
}

void CrtSeam::shortNth(Call kind, int n, unsigned int count) {
    std::lock_guard<std::mutex> g(fLock);
    fShorts[kind] = Short{fSeen[kind] + n, count};
}

bool CrtSeam::shouldFail(Call kind, int& err, unsigned int* limit, std::int64_t position) {
    std::lock_guard<std::mutex> g(fLock);
    const int seen = ++fSeen[kind];
    auto at = fPositionPlans.find({kind, position});
    if (at != fPositionPlans.end()) {
        err = at->second;
        return true;
    }
    auto s = fShorts.find(kind);
    if (limit && s != fShorts.end() && s->second.nth == seen && s->second.count < *limit)
        *limit = s->second.count;
    auto it = fPlans.find(kind);
    if (it == fPlans.end()) return false;
    const Plan& p = it->second;
    if (seen == p.nth || (p.sticky && seen > p.nth)) {
        err = p.err;
        return true;
    }
    return false;
}

std::int64_t CrtSeam::positionOf(int fd) {
    std::lock_guard<std::mutex> g(fLock);
    auto it = fPositions.find(fd);
    return it == fPositions.end() ? -1 : it->second;
}

void CrtSeam::record(Call kind, int fd, std::int64_t position, int whence, std::uint64_t count,
                     std::int64_t result, int share, int permission, std::string name) {
    append(CallRecord{kind, fd, position, whence, count, result, share, permission, std::move(name)}, nullptr);
}

// One lock for the record and its bytes: a write on another thread cannot
// come between them.
void CrtSeam::append(CallRecord r, const void* bytes) {
    std::lock_guard<std::mutex> g(fLock);
    if (r.kind != Call::Open && r.name.empty()) {
        auto it = fNames.find(r.fd);
        if (it != fNames.end()) r.name = it->second;
    }
    if (bytes && fKeepData && r.result > 0) {
        const auto* b = static_cast<const unsigned char*>(bytes);
        r.data.assign(b, b + r.result);
    }
    const Call kind = r.kind;
    const int fd = r.fd;
    const std::int64_t result = r.result;
    fCalls.push_back(std::move(r));
    switch (kind) {
        case Call::Open:
            if (fd >= 0) {
                fPositions[fd] = 0;
                fNames[fd] = fCalls.back().name;
            }
            break;
        case Call::Read:
        case Call::Write:
            if (result > 0 && fPositions.count(fd)) fPositions[fd] += result;
            break;
        case Call::Seek:
            if (result >= 0) fPositions[fd] = result;
            break;
        case Call::Close:
            fPositions.erase(fd);
            fNames.erase(fd);
            break;
        default:
            break;
    }
}

void CrtSeam::recordWrite(int fd, std::int64_t position, std::uint64_t count, std::int64_t result,
                          const void* bytes) {
    append(CallRecord{Call::Write, fd, position, 0, count, result, 0, 0, {}}, bytes);
}

void CrtSeam::recordNamed(Call kind, std::string name, std::string toName, std::int64_t result) {
    std::lock_guard<std::mutex> g(fLock);
    CallRecord r{kind, -1, 0, 0, 0, result, 0, 0, std::move(name)};
    r.toName = std::move(toName);
    fCalls.push_back(std::move(r));
}

int sopen(const std::string& utf8Name, int oflag, int shflag, int pmode) {
    const int remoteFd = remote::open(utf8Name, oflag);
    if (remoteFd != remote::kNotServed) return remoteFd;
    const int held = memory::open(utf8Name, oflag);
    if (held != memory::kNotServed) return held;
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return os::sopen(utf8Name, oflag, shflag, pmode);
    int err = 0;
    int fd = -1;
    if (seam->shouldFail(Call::Open, err)) {
        errno = err;
    } else {
        fd = os::sopen(utf8Name, oflag, shflag, pmode);
    }
    seam->record(Call::Open, fd, 0, oflag, 0, fd, shflag, pmode, utf8Name);
    return fd;
}

namespace {
// Runs a call under the seam: fails it when planned (as the system would, with
// errno set and -1 returned), otherwise makes it, and records what happened.
template <class Result, class Op>
Result observed(CrtSeam& seam, Call kind, Op op, int& err) {
    if (seam.shouldFail(kind, err)) {
        errno = err;
        return static_cast<Result>(-1);
    }
    return op();
}

// One read(2) or write(2); under the seam it may fail or move fewer bytes.
template <class Buffer, class Op>
int transferOnce(Call kind, int fd, Buffer buffer, unsigned int count, Op op) {
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return op(fd, buffer, count);
    const std::int64_t at = seam->positionOf(fd);
    int err = 0;
    unsigned int limit = count;
    int n;
    if (seam->shouldFail(kind, err, &limit, at)) {
        errno = err;
        n = -1;
    } else {
        n = op(fd, buffer, limit);
    }
    const int saved = errno;
    if constexpr (std::is_const_v<std::remove_pointer_t<Buffer>>)
        seam->recordWrite(fd, at, count, n, buffer);
    else
        seam->record(kind, fd, at, 0, count, n);
    errno = saved;
    return n;
}

}  // namespace

int _read(int fd, void* buffer, unsigned int count) {
    if (remote::owns(fd)) return remote::read(fd, buffer, count);
    if (memory::owns(fd)) return memory::read(fd, buffer, count);
    for (;;) {
        const int n = transferOnce(Call::Read, fd, buffer, count, os::read);
        if (n != -1 || errno != EINTR) return n;
    }
}

int _write(int fd, const void* buffer, unsigned int count) {
    // Nothing to write is no error, whatever the descriptor allows.
    if (count == 0) return 0;
    if (remote::owns(fd)) return remote::write(fd, buffer, count);
    if (memory::owns(fd)) return memory::write(fd, buffer, count);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    unsigned int done = 0;
    while (done < count) {
        const int n = transferOnce(Call::Write, fd, bytes + done, count - done, os::write);
        if (n == -1) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            // No progress and no reason given: the disk takes no more.
            errno = ENOSPC;
            return -1;
        }
        done += static_cast<unsigned int>(n);
    }
    return static_cast<int>(done);
}

std::int64_t _lseeki64(int fd, std::int64_t offset, int origin) {
    if (remote::owns(fd)) return remote::lseek(fd, offset, origin);
    if (memory::owns(fd)) return memory::lseek(fd, offset, origin);
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return os::lseek(fd, offset, origin);
    int err = 0;
    const std::int64_t r = observed<std::int64_t>(
        *seam, Call::Seek, [&] { return os::lseek(fd, offset, origin); }, err);
    seam->record(Call::Seek, fd, offset, origin, 0, r);
    return r;
}

int _close(int fd) {
    if (remote::owns(fd)) return remote::close(fd);
    if (memory::owns(fd)) return memory::close(fd);
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return os::close(fd);
    int err = 0;
    int r;
    if (seam->shouldFail(Call::Close, err)) {
        // The descriptor is still released, as a real failed close does.
        os::close(fd);
        errno = err;
        r = -1;
    } else {
        r = os::close(fd);
    }
    seam->record(Call::Close, fd, 0, 0, 0, r);
    return r;
}

int _commit(int fd) {
    if (remote::owns(fd)) return 0;  // nothing was written
    if (memory::owns(fd)) return memory::commit(fd);
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return os::commit(fd);
    int err = 0;
    const int r = observed<int>(*seam, Call::Commit, [&] { return os::commit(fd); }, err);
    seam->record(Call::Commit, fd, 0, 0, 0, r);
    return r;
}

int _chsize_s(int fd, std::int64_t size) {
    if (remote::owns(fd)) return errno = EROFS;
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return os::chsize(fd, size) == 0 ? 0 : errno;
    int err = 0;
    const int r = observed<int>(*seam, Call::Truncate, [&] { return os::chsize(fd, size); }, err);
    const int saved = errno;
    seam->record(Call::Truncate, fd, size, 0, 0, r);
    errno = saved;
    return r == 0 ? 0 : saved;
}

namespace {
// A call on names rather than descriptors, under the seam.
template <class Op>
int namedCall(Call kind, const std::string& name, const std::string& toName, Op op) {
    CrtSeam* seam = gSeam.load(std::memory_order_acquire);
    if (!seam) return op();
    int err = 0;
    const int r = observed<int>(*seam, kind, op, err);
    const int saved = errno;
    seam->recordNamed(kind, name, toName, r);
    errno = saved;
    return r;
}
}  // namespace

int renameFile(const std::string& from, const std::string& to) {
    return namedCall(Call::Rename, from, to, [&] { return os::rename(from, to); });
}

int removeFile(const std::string& name) {
    return namedCall(Call::Remove, name, {}, [&] { return os::remove(name); });
}

int syncDirectoryOf(const std::string& path) {
    return namedCall(Call::SyncDir, path, {}, [&] { return os::syncDirectoryOf(path); });
}

}  // namespace veld::crt
