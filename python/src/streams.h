// The streams behind veld.open, veld.Writer and veld.append. Each call takes
// the object's own lock after the GIL has been let go, so Python threads
// sharing one object take turns instead of racing inside a stream.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "VELD_FileStream.h"
#include "layout.h"
#include "zcmpsFilestr.h"

namespace veldpy {

// The uncompressed file, positions 0 to dataEnd: the dictionary part through
// the plain stream, the case data through the compressed one.
class CaseReader {
public:
    // jobs >= 2: jobs - 1 workers inflate the blocks ahead.
    CaseReader(FileLayout layout, int jobs);
    ~CaseReader();  // closes, and drops a failure of that close

    // Reads up to n bytes at the current position; fewer only at the end.
    std::uint64_t readInto(void* buffer, std::uint64_t n);
    // whence as os.SEEK_SET, SEEK_CUR, SEEK_END; answers the new position.
    std::int64_t seek(std::int64_t offset, int whence);
    std::int64_t tell() const { return fPos; }
    void close();
    bool closed() const { return !fCases; }
    const FileLayout& layout() const { return fLayout; }

private:
    std::uint64_t readDictionary(unsigned char* out, std::uint64_t n);

    FileLayout fLayout;
    std::mutex fLock;
    std::int64_t fPos = 0;
    VELD_FileStream fDictionary;  // opened on the first read below row0
    std::unique_ptr<zcmpsFilestr> fCases;
};

// Case data written through the compressed stream, to a new file after its
// dictionary part or onto the end of an existing file's case data.
class CaseWriter {
public:
    // A new file: the dictionary part, then case data from its end on.
    // jobs >= 2: jobs - 1 workers compress blocks at once, written in order.
    CaseWriter(const std::string& path, const void* dictionary, std::uint64_t size, int jobs);
    // Appends after the last byte of case data of a sound file: by shadow
    // paging (the file reads as before until close has finished), or in
    // place, as the compressed stream's setFileToAppend does. jobs >= 2:
    // jobs - 1 workers compress the new blocks.
    CaseWriter(const FileLayout& layout, bool inPlace, int jobs);
    // Closes a writer still open; a failure there abandons the write.
    ~CaseWriter();

    void write(const void* bytes, std::uint64_t n);
    // Ends the current block early, so that its bytes reach the file.
    void flush();
    // The last block, the table and the heading; the file is complete. When
    // that fails, the write is abandoned and the failure raised.
    void close();
    // Gives the write up, committing nothing: a new file is left without a
    // heading, a shadow-paged append reads as before.
    void abandon();
    bool closed() const { return !fCases; }
    std::int64_t tell() const { return fPos; }
    std::int64_t row0() const { return fRow0; }
    const std::string& path() const { return fPath; }

private:
    void requireOpen() const;

    std::string fPath;
    std::mutex fLock;
    std::int64_t fRow0 = 0;
    std::int64_t fPos = 0;
    std::unique_ptr<zcmpsFilestr> fCases;
};

}  // namespace veldpy
