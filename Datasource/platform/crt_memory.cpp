#include "crt_memory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "crt.h"

namespace veld::crt {

namespace {

struct Open {
    std::vector<unsigned char>* file;
    std::int64_t position;
    bool writable;
};

struct Store {
    std::mutex lock;
    std::map<std::string, std::unique_ptr<std::vector<unsigned char>>> files;
    std::map<int, Open> open;
    int next = memory::kFirstDescriptor;
    std::int64_t failFrom = 0, failTo = 0;
    int failErr = 0;
};

std::atomic<Store*> gStore{nullptr};

// Runs f on the open descriptor under the lock, or fails with EBADF.
template <class Result, class F>
Result onOpen(int fd, F f) {
    Store* s = gStore.load(std::memory_order_acquire);
    if (!s) {
        errno = EBADF;
        return static_cast<Result>(-1);
    }
    std::lock_guard<std::mutex> g(s->lock);
    auto it = s->open.find(fd);
    if (it == s->open.end()) {
        errno = EBADF;
        return static_cast<Result>(-1);
    }
    return f(*s, it->second);
}

}  // namespace

MemoryFiles::MemoryFiles() { gStore.store(new Store, std::memory_order_release); }

MemoryFiles::~MemoryFiles() { delete gStore.exchange(nullptr); }

void MemoryFiles::set(const std::string& name, const void* data, std::size_t size) {
    Store& s = *gStore.load();
    std::lock_guard<std::mutex> g(s.lock);
    auto& file = s.files[name];
    if (!file) file = std::make_unique<std::vector<unsigned char>>();
    const auto* bytes = static_cast<const unsigned char*>(data);
    file->assign(bytes, bytes + size);
}

void MemoryFiles::failReads(std::int64_t from, std::int64_t to, int err) {
    Store& s = *gStore.load();
    std::lock_guard<std::mutex> g(s.lock);
    s.failFrom = from;
    s.failTo = to;
    s.failErr = err;
}

std::vector<unsigned char> MemoryFiles::bytes(const std::string& name) const {
    Store& s = *gStore.load();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.files.find(name);
    return it == s.files.end() ? std::vector<unsigned char>{} : *it->second;
}

namespace memory {

int open(const std::string& name, int oflag) {
    Store* s = gStore.load(std::memory_order_acquire);
    if (!s) return kNotServed;
    std::lock_guard<std::mutex> g(s->lock);
    auto it = s->files.find(name);
    if (it == s->files.end()) return kNotServed;
    if (oflag & kO_TRUNC) it->second->clear();
    const bool writable = (oflag & (kO_WRONLY | kO_RDWR)) != 0;
    const std::int64_t start = (oflag & kO_APPEND) ? static_cast<std::int64_t>(it->second->size()) : 0;
    const int fd = s->next++;
    s->open[fd] = Open{it->second.get(), start, writable};
    return fd;
}

int read(int fd, void* buffer, unsigned int count) {
    return onOpen<int>(fd, [&](Store& s, Open& o) {
        const std::int64_t size = static_cast<std::int64_t>(o.file->size());
        const std::int64_t n = std::max<std::int64_t>(0, std::min<std::int64_t>(count, size - o.position));
        if (n > 0 && s.failErr && o.position < s.failTo && o.position + n > s.failFrom) {
            errno = s.failErr;
            return -1;
        }
        if (n > 0) std::memcpy(buffer, o.file->data() + o.position, static_cast<std::size_t>(n));
        o.position += n;
        return static_cast<int>(n);
    });
}

int write(int fd, const void* buffer, unsigned int count) {
    return onOpen<int>(fd, [&](Store&, Open& o) {
        if (!o.writable) {
            errno = EBADF;
            return -1;
        }
        const std::size_t end = static_cast<std::size_t>(o.position) + count;
        if (o.file->size() < end) o.file->resize(end);
        std::memcpy(o.file->data() + o.position, buffer, count);
        o.position += count;
        return static_cast<int>(count);
    });
}

std::int64_t lseek(int fd, std::int64_t offset, int origin) {
    return onOpen<std::int64_t>(fd, [&](Store&, Open& o) -> std::int64_t {
        const std::int64_t base =
            origin == kSEEK_CUR ? o.position : origin == kSEEK_END ? static_cast<std::int64_t>(o.file->size()) : 0;
        if (base + offset < 0) {
            errno = EINVAL;
            return -1;
        }
        o.position = base + offset;
        return o.position;
    });
}

int close(int fd) {
    Store* s = gStore.load(std::memory_order_acquire);
    if (!s) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> g(s->lock);
    if (s->open.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int commit(int fd) {
    return onOpen<int>(fd, [](Store&, Open&) { return 0; });
}

}  // namespace memory

}  // namespace veld::crt
