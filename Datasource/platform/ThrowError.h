// The error library: turns an operating-system or cipher failure into
// veld::DataSourceError. This is the one place where errno becomes our error.
// Thread contract: safe for concurrent use.
#pragma once

#include <stdexcept>
#include <string>

#include "veld_api.h"

namespace veld {

// Raised for every refused read, write, seek or close of a raw file.
class VELD_API DataSourceError : public std::runtime_error {
public:
    DataSourceError(std::string msgFile, int code, std::string fileName, int sysErrno);
    // A request the file cannot honour: `detail` names the rule it breaks.
    DataSourceError(std::string msgFile, int code, std::string fileName, int sysErrno,
                    std::string detail);

    const std::string& msgFile() const noexcept { return fMsgFile; }
    int code() const noexcept { return fCode; }
    const std::string& fileName() const noexcept { return fFileName; }
    int sysErrno() const noexcept { return fErrno; }
    const std::string& detail() const noexcept { return fDetail; }

private:
    std::string fMsgFile;
    int fCode;
    std::string fFileName;
    int fErrno;
    std::string fDetail;
};

namespace errcode {
constexpr int kCannotWrite = 1002;  // writing and closing
constexpr int kCannotRead = 1003;
}  // namespace errcode

}  // namespace veld

class VELD_API ThrowError {
public:
    // Raises, never returns. errno is read at the moment of the call.
    [[noreturn]] static void StringSys(const char* msgFile, int code, const char* text);
};
