#include "streams.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "errors.h"
#include "remote_failure.h"

namespace py = pybind11;

namespace veldpy {

namespace {

void openOrRaise(VELD_FileStream& stream, const std::string& path, const char* mode) {
    errno = 0;
    if (!stream.Open(path.c_str(), mode)) {
        const int err = errno;
        // A remote file's refusal carries the server's reason.
        const std::string why = veld::remote::lastFailure(path);
        throw OsFailure(err, veld::remote::withoutCredentials(path),
                        std::string("cannot open (") + mode + ")" + (why.empty() ? "" : ": " + why));
    }
}

}  // namespace

CaseReader::CaseReader(FileLayout layout, int jobs) : fLayout(std::move(layout)) {
    guarded(fLayout.path, [&] {
        VELD_FileStream source;
        openOrRaise(source, fLayout.path, "rb");
        auto z = std::make_unique<zcmpsFilestr>(source);
        if (jobs >= 2) z->setWorkers(jobs - 1);
        z->readFilePosInfo(fLayout.row0, fLayout.swap);
        fCases = std::move(z);
    });
}

CaseReader::~CaseReader() {
    if (!fCases) return;
    try {
        fCases->Close();
    } catch (...) {
        // No one is left to hear it: the Python object is gone.
    }
}

std::uint64_t CaseReader::readDictionary(unsigned char* out, std::uint64_t n) {
    if (!fDictionary.Name()) openOrRaise(fDictionary, fLayout.path, "rb");
    fDictionary.Seek(fPos, VELD_StrBaseIO::FromStart);
    return fDictionary.Read(out, n);
}

std::uint64_t CaseReader::readInto(void* buffer, std::uint64_t n) {
    std::lock_guard<std::mutex> hold(fLock);
    if (!fCases) throw py::value_error("I/O operation on closed file");
    return guarded(fLayout.path, [&] {
        auto* out = static_cast<unsigned char*>(buffer);
        std::uint64_t done = 0;
        if (fPos < fLayout.row0 && n > 0) {
            const std::uint64_t want = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(fLayout.row0 - fPos));
            const std::uint64_t got = readDictionary(out, want);
            fPos += static_cast<std::int64_t>(got);
            done += got;
            if (got < want) throw DamagedFile(fLayout.path, "the dictionary part ends early, at " + std::to_string(fPos));
        }
        if (done < n && fPos >= fLayout.row0 && fPos < fLayout.dataEnd) {
            const std::uint64_t want =
                std::min<std::uint64_t>(n - done, static_cast<std::uint64_t>(fLayout.dataEnd - fPos));
            fCases->Seek(fPos, VELD_StrBaseIO::FromStart);
            const std::uint64_t got = fCases->Read(out + done, want);
            fPos += static_cast<std::int64_t>(got);
            done += got;
            if (got < want)
                throw DamagedFile(fLayout.path, "the case data ends at " + std::to_string(fPos) +
                                                    ", before the table's end " + std::to_string(fLayout.dataEnd));
        }
        return done;
    });
}

std::int64_t CaseReader::seek(std::int64_t offset, int whence) {
    std::lock_guard<std::mutex> hold(fLock);
    if (!fCases) throw py::value_error("I/O operation on closed file");
    const std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? fPos : fLayout.dataEnd;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        throw py::value_error("invalid whence (" + std::to_string(whence) + ")");
    if (base + offset < 0) throw py::value_error("negative seek position " + std::to_string(base + offset));
    fPos = base + offset;
    return fPos;
}

void CaseReader::close() {
    std::lock_guard<std::mutex> hold(fLock);
    if (!fCases) return;
    auto z = std::move(fCases);
    guarded(fLayout.path, [&] {
        if (fDictionary.Name()) fDictionary.Close();
        z->Close();
    });
}

namespace {

// A stream that failed while being set up for writing commits nothing.
template <class F>
std::unique_ptr<zcmpsFilestr> setUp(VELD_FileStream& source, F&& steps) {
    auto z = std::make_unique<zcmpsFilestr>(source);
    try {
        steps(*z);
    } catch (...) {
        z->Abandon();
        throw;
    }
    return z;
}

}  // namespace

CaseWriter::CaseWriter(const std::string& path, const void* dictionary, std::uint64_t size, int jobs)
    : fPath(path), fRow0(static_cast<std::int64_t>(size)) {
    if (size == 0) throw py::value_error("the dictionary part must not be empty: row0 is its length");
    guarded(fPath, [&] {
        VELD_FileStream out;
        openOrRaise(out, fPath, "wb");
        if (out.Write(dictionary, size) != size)
            throw OsFailure(EIO, fPath, "the dictionary part was not written whole");
        // Shares the raw file and closes the plain stream, which writes out the dictionary part.
        fCases = setUp(out, [&](zcmpsFilestr& z) {
            if (jobs >= 2) z.setWorkers(jobs - 1);
            z.setRow0Pos(fRow0);
            z.Seek(fRow0, VELD_StrBaseIO::FromStart);
        });
    });
    fPos = fRow0;
}

CaseWriter::CaseWriter(const FileLayout& layout, bool inPlace, int jobs) : fPath(layout.path), fRow0(layout.row0) {
    guarded(fPath, [&] {
        VELD_FileStream in;
        openOrRaise(in, fPath, "rb");
        fCases = setUp(in, [&](zcmpsFilestr& z) {
            z.readFilePosInfo(layout.row0, layout.swap);
            if (jobs >= 2) z.setWorkers(jobs - 1);
            z.Seek(layout.dataEnd, VELD_StrBaseIO::FromStart);
            if (inPlace)
                z.setFileToAppend(layout.dataEnd, layout.swap);
            else
                z.setFileToAppendSafely(layout.dataEnd, layout.swap);
        });
    });
    fPos = layout.dataEnd;
}

CaseWriter::~CaseWriter() {
    if (!fCases) return;
    try {
        fCases->Close();
    } catch (...) {
        fCases->Abandon();
    }
}

void CaseWriter::requireOpen() const {
    if (!fCases) throw py::value_error("write to a closed veld.Writer");
}

void CaseWriter::write(const void* bytes, std::uint64_t n) {
    std::lock_guard<std::mutex> hold(fLock);
    requireOpen();
    guarded(fPath, [&] { fCases->Write(bytes, n); });
    fPos += static_cast<std::int64_t>(n);
}

void CaseWriter::flush() {
    std::lock_guard<std::mutex> hold(fLock);
    requireOpen();
    guarded(fPath, [&] { fCases->Flush(); });
}

void CaseWriter::close() {
    std::lock_guard<std::mutex> hold(fLock);
    if (!fCases) return;
    auto z = std::move(fCases);
    try {
        z->Close();
    } catch (...) {
        z->Abandon();
        rethrowForPython(fPath);
    }
}

void CaseWriter::abandon() {
    std::lock_guard<std::mutex> hold(fLock);
    if (fCases) fCases->Abandon();
    fCases.reset();
}

}  // namespace veldpy
