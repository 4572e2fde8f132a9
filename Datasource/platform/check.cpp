#include "check.h"

namespace veld {

namespace {
std::string describe(const std::string& expression, const std::string& file, int line,
                     const std::string& detail) {
    std::string text = "check failed: " + expression;
    if (!detail.empty()) text += ": " + detail;
    return text + " (" + file + ":" + std::to_string(line) + ")";
}
}  // namespace

CheckFailure::CheckFailure(std::string expression, std::string file, int line, std::string detail)
    : std::logic_error(describe(expression, file, line, detail)),
      fExpression(std::move(expression)),
      fFile(std::move(file)),
      fLine(line),
      fDetail(std::move(detail)) {}

void FailCheck(const char* expression, const char* file, int line) {
    throw CheckFailure(expression, file, line);
}

void FailCheck(const char* expression, const char* file, int line, const std::string& detail) {
    throw CheckFailure(expression, file, line, detail);
}

}  // namespace veld
