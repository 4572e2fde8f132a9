// Always-on consistency checks. A failed check throws veld::CheckFailure whose
// expression() is the stringised condition, so callers can match it exactly.
// Thread contract: safe for concurrent use.
#pragma once

#include <stdexcept>
#include <string>

#include "veld_api.h"

namespace veld {

class VELD_API CheckFailure : public std::logic_error {
public:
    CheckFailure(std::string expression, std::string file, int line, std::string detail = {});

    const std::string& expression() const noexcept { return fExpression; }
    const std::string& file() const noexcept { return fFile; }
    int line() const noexcept { return fLine; }
    // Where the failure was met (for a damaged file: block number and file offset); may be empty.
    const std::string& detail() const noexcept { return fDetail; }

private:
    std::string fExpression;
    std::string fFile;
    int fLine;
    std::string fDetail;
};

// Out of line so the throwing path stays out of the hot code.
[[noreturn]] VELD_API void FailCheck(const char* expression, const char* file, int line);
[[noreturn]] VELD_API void FailCheck(const char* expression, const char* file, int line,
                                     const std::string& detail);

}  // namespace veld

#define VELD_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::veld::FailCheck(#cond, __FILE__, __LINE__))

// The same, with a description of where it failed; `detail` is evaluated only on failure.
#define VELD_CHECK_AT(cond, detail) \
    ((cond) ? static_cast<void>(0) : ::veld::FailCheck(#cond, __FILE__, __LINE__, (detail)))
