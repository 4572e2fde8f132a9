// Compressed data files for the index and thread-object tests, built with zlib
// directly so the code under test is never its own reference; and a guard that
// turns a hang into a failure instead of a stalled run.
#pragma once

#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "compressedLayout.h"

namespace veldtest {

// Bytes that deflate shrinks well (patternBytes does not shrink at all).
inline std::vector<unsigned char> textBytes(std::size_t count, std::uint32_t seed = 1) {
    std::vector<unsigned char> bytes(count);
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 64 == 0) x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>('a' + (i + (x >> 16)) % 7);
    }
    return bytes;
}

// Table bytes: first record, then the records, in native order.
inline std::vector<unsigned char> tableBytes(const std::vector<blockInfo>& records,
                                             std::int32_t blockSize) {
    std::vector<unsigned char> table((records.size() + 1) * sizeof(blockInfo));
    veld::layout::encodeRecord(
        veld::layout::firstRecord(blockSize, static_cast<std::int32_t>(records.size())), table.data());
    for (std::size_t i = 0; i < records.size(); ++i)
        veld::layout::encodeRecord(records[i], table.data() + (i + 1) * sizeof(blockInfo));
    return table;
}

struct BlockFile {
    std::vector<unsigned char> data;  // the case data, uncompressed
    std::vector<blockInfo> records;
    std::vector<unsigned char> table;
};

// P dictionary bytes, 24 heading bytes, then `data` cut into blocks of
// `sizes` bytes, each one zlib stream at level 1, back to back.
inline BlockFile writeBlockFile(const std::string& path, std::int64_t P,
                                const std::vector<unsigned char>& data,
                                const std::vector<std::size_t>& sizes,
                                std::int32_t blockSize = veld::layout::kBlockSize) {
    BlockFile f;
    f.data = data;
    std::vector<unsigned char> bytes = patternBytes(static_cast<std::size_t>(P) + 24, 99);
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        uLongf room = compressBound(static_cast<uLong>(size));
        std::vector<unsigned char> payload(room);
        if (compress2(payload.data(), &room, data.data() + at, static_cast<uLong>(size), 1) != Z_OK)
            throw std::runtime_error("compress2 failed");
        f.records.push_back(blockInfo{P + static_cast<std::int64_t>(at),
                                      static_cast<std::int64_t>(bytes.size()),
                                      static_cast<std::int32_t>(size),
                                      static_cast<std::int32_t>(room)});
        bytes.insert(bytes.end(), payload.begin(), payload.begin() + room);
        at += size;
    }
    if (at != data.size()) throw std::logic_error("sizes do not cover the data");
    f.table = tableBytes(f.records, blockSize);
    writeAll(path, bytes);
    return f;
}

// Ends the test program with a message if the test has not finished in time.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit = std::chrono::seconds(120))
        : fThread([this, limit] {
              std::unique_lock<std::mutex> lock(fLock);
              if (!fCond.wait_for(lock, limit, [this] { return fDone; })) {
                  std::fprintf(stderr, "test hung: no progress for %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(fLock);
            fDone = true;
        }
        fCond.notify_all();
        fThread.join();
    }

private:
    std::mutex fLock;
    std::condition_variable fCond;
    bool fDone = false;
    std::thread fThread;
};

}  // namespace veldtest
