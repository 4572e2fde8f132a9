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
    CheckFailure(std::string expression, std::string file, int line);

    const std::string& expression() const noexcept { return fExpression; }
    const std::string& file() const noexcept { return fFile; }
    int line() const noexcept { return fLine; }

private:
    std::string fExpression;
    std::string fFile;
    int fLine;
};

// Out of line so the throwing path stays out of the hot code.
[[noreturn]] VELD_API void FailCheck(const char* expression, const char* file, int line);

}  // namespace veld

#define VELD_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::veld::FailCheck(#cond, __FILE__, __LINE__))
