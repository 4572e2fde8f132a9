#include "ThrowError.h"

#include <cerrno>
#include <cstring>

#include "remote_failure.h"

namespace veld {

namespace {

// What "datasrc.err" says for the codes the raw file uses.
const char* messageFor(const std::string& msgFile, int code) {
    if (msgFile == "datasrc.err") {
        if (code == errcode::kCannotWrite) return "cannot write";
        if (code == errcode::kCannotRead) return "cannot read";
    }
    return "error";
}

std::string describe(const std::string& msgFile, int code, const std::string& name, int err,
                     const std::string& detail) {
    std::string text = msgFile + " " + std::to_string(code) + ": " + messageFor(msgFile, code) +
                       " \"" + name + "\"";
    if (err != 0) text += " (errno " + std::to_string(err) + ": " + std::strerror(err) + ")";
    if (!detail.empty()) text += ": " + detail;
    return text;
}

}  // namespace

DataSourceError::DataSourceError(std::string msgFile, int code, std::string fileName, int sysErrno)
    : DataSourceError(std::move(msgFile), code, std::move(fileName), sysErrno, std::string()) {}

DataSourceError::DataSourceError(std::string msgFile, int code, std::string fileName, int sysErrno,
                                 std::string detail)
    : std::runtime_error(describe(msgFile, code, fileName, sysErrno, detail)),
      fMsgFile(std::move(msgFile)),
      fCode(code),
      fFileName(std::move(fileName)),
      fErrno(sysErrno),
      fDetail(std::move(detail)) {}

}  // namespace veld

void ThrowError::StringSys(const char* msgFile, int code, const char* text) {
    const int err = errno;
    const std::string name = text ? text : "";
    // A remote file's reason (HTTP status, transfer error) goes with it; its
    // credentials never do.
    throw veld::DataSourceError(msgFile ? msgFile : "", code, veld::remote::withoutCredentials(name), err,
                                veld::remote::lastFailure(name));
}
