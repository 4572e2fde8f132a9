#include "VELD_FileStream.h"

#include <memory>
#include <string>

#include "multiThreadForFilestr.h"

// The Data's size as the application budgets it: the window and its bookkeeping.
static constexpr unsigned int kFootprint = 0x3FF038;
static_assert(sizeof(VELD_FileStream::Data) <= kFootprint);

VELD_FileStream::VELD_FileStream() : VELD_FileStream(false) {}

VELD_FileStream::VELD_FileStream(bool encrypt)
    : fStreamData(new Data(encrypt)), fMultiThreadReading(0), fPreReading(1), fPosition(0) {}

VELD_FileStream::VELD_FileStream(const char* name, const char* mode) : VELD_FileStream(false) {
    Open(name, "", mode);
}

VELD_FileStream::VELD_FileStream(const char* name, const char* mode, bool encrypt)
    : VELD_FileStream(encrypt) {
    Open(name, "", mode);
}

VELD_FileStream::VELD_FileStream(const VELD_FileStream& other)
    : VELD_StrBaseIO(other),
      fStreamData(new Data(*other.fStreamData)),
      fMultiThreadReading(other.fMultiThreadReading),
      fPreReading(other.fPreReading),
      fPosition(0) {
    // The source's unwritten bytes and last cipher block reach the file
    // before the two streams go on with it.
    try {
        other.Close();
    } catch (...) {
        delete fStreamData;
        throw;
    }
}

VELD_FileStream::~VELD_FileStream() noexcept(false) {
    // The Data goes whatever the last write does.
    const std::unique_ptr<Data> data(fStreamData);
    FinishInDestructor([this] {
        if (!DataReady()) return;
        if (fStreamData->bDirty) VELD_FileStream::Flush();
        fStreamData->pRealFile->FinishEncryption();
    });
}

void VELD_FileStream::Clear() {
    if (fStreamData->pRealFile.IsValid()) fStreamData->pRealFile->bGood = true;
}

int VELD_FileStream::Good() {
    // A stream never opened has recorded no failure.
    if (!fStreamData->pRealFile.IsValid()) return 1;
    return fStreamData->pRealFile->bGood ? 1 : 0;
}

std::uint64_t VELD_FileStream::Read(void* buffer, std::uint64_t size) {
    if (size == 0 || !DataReady()) return 0;
    ReadRequest req{static_cast<unsigned char*>(buffer), size, fPosition};
    Data& d = *fStreamData;
    if (fPreReading == 0) {
        d.ReadDirect(req);
    } else if (fMultiThreadReading > 0) {
        d.ReadMultiThread(req);
    } else {
        d.ReadFromBuffer(req);
        d.ReadUnbuffered(req);
        d.ReadBuffered(req);
    }
    return size - req._size;
}

std::uint64_t VELD_FileStream::Write(const void* buffer, std::uint64_t size) {
    if (size == 0 || !DataReady()) return 0;
    ReadRequest req{const_cast<unsigned char*>(static_cast<const unsigned char*>(buffer)), size,
                    fPosition};
    fStreamData->Write(req);
    return size - req._size;
}

int VELD_FileStream::Seek(std::int64_t offset, SeekDirection direction) {
    if (!DataReady()) return -1;
    Data& d = *fStreamData;
    if (direction == FromCurrent) {
        fPosition += offset;
    } else if (direction == FromEnd) {
        std::int64_t end = d.pRealFile->Size();
        if (d.bDirty && d.WindowEnd() > end) end = d.WindowEnd();
        fPosition = end + offset;
    } else {
        fPosition = offset;
    }
    d.bEof = false;
    return 0;
}

std::int64_t VELD_FileStream::Tell() const { return fPosition; }

int VELD_FileStream::EndOfFile() { return fStreamData->bEof ? 1 : 0; }

int VELD_FileStream::Open(const ExtNameStr& name, const ExtNameStr& /*password*/, const char* mode) {
    // The name may belong to the raw file released below.
    const ExtNameStr localName(name);
    Data& d = *fStreamData;
    // Unwritten bytes belong to the previous file and are written to it; a
    // failure there leaves Open with the stream still on that file.
    if (DataReady()) {
        if (d.bDirty) d.Flush();
        d.pRealFile->FinishEncryption();
    }
    if (d.pRealFile.IsValid()) {
        // The worker must be done with the old file before it can go away.
        if (d.fReader.IsValid()) d.fReader->releaseFile(d.pRealFile.get());
        // Its last owner lets go here: closed now, so that a failed close
        // leaves Open instead of vanishing in the raw file's destructor.
        if (!d.pRealFile->IsShared()) d.pRealFile->Close();
    }
    // Nothing of the previous file is served as the new one's.
    d.fpEnd = d.fBuffer;
    d.pRealFile = new VELD_File(d.bEncrypt);
    const bool opened = d.pRealFile->Open(localName, mode);
    fPosition = d.pRealFile->fCurPos;
    return opened ? 1 : 0;
}

int VELD_FileStream::Open(const char* name, const char* password, const char* mode) {
    ExtNameStr extName;
    extName.SetGeneric(std::string(name ? name : ""));
    ExtNameStr extPassword;
    extPassword.SetU8(std::string(password ? password : ""));
    return Open(extName, extPassword, mode);
}

int VELD_FileStream::Open(const ExtNameStr& name, const char* mode) {
    return Open(name, ExtNameStr(), mode);
}

int VELD_FileStream::Open(const char* name, const char* mode) { return Open(name, "", mode); }

void VELD_FileStream::ClearAndReset() {
    Seek(0, FromStart);
    fPosition = 0;
    // Unwritten bytes are dropped; bDirty and fpos keep their values, so a
    // Seek from the end still counts up to where the window stood.
    fStreamData->fpEnd = fStreamData->fBuffer;
}

const ExtNameStr& VELD_FileStream::GetNameStr() const {
    static const ExtNameStr emptyName;
    if (!fStreamData->pRealFile.IsValid()) return emptyName;
    return fStreamData->pRealFile->fName;
}

int VELD_FileStream::Close() const {
    if (!DataReady()) return 0;
    if (fStreamData->bDirty) Flush();
    fStreamData->pRealFile->FinishEncryption();
    return 1;
}

// The same steps as the const form, kept apart so that an override of one
// never runs through the other.
int VELD_FileStream::Close() {
    if (!DataReady()) return 0;
    if (fStreamData->bDirty) Flush();
    fStreamData->pRealFile->FinishEncryption();
    return 1;
}

int VELD_FileStream::Flush() const {
    fStreamData->Flush();
    return 1;
}

const char* VELD_FileStream::Name() const {
    if (!fStreamData->pRealFile.IsValid()) return nullptr;
    return fStreamData->pRealFile->fName.GetGeneric().c_str();
}

unsigned int VELD_FileStream::Footprint() const { return kFootprint; }

void VELD_FileStream::EnableMultiThreadReading() {
    Data& d = *fStreamData;
    if (!d.fReader.IsValid()) {
        // Kept, and the switch set, only once its worker runs: a request to an
        // object without one would wait for ever. A failed start deletes it.
        RefCountPtr<multiThreadForFilestr> reader(
            new multiThreadForFilestr(d.pRealFile.get(), VELD_BLOCK_SIZE, true));
        reader->initThread(true);
        reader->startThread();
        d.fReader = reader;
    }
    fMultiThreadReading = 1;
}

void VELD_FileStream::DisableMultiThreadReading() { fMultiThreadReading = 0; }

bool VELD_FileStream::IsShared() const {
    return fStreamData->pRealFile.IsValid() && fStreamData->pRealFile->IsShared();
}

bool VELD_FileStream::DataReady() const {
    return fStreamData->pRealFile.IsValid() && fStreamData->pRealFile->IsOpen();
}

VELD_File& VELD_FileStream::GetFile() { return *fStreamData->pRealFile; }
