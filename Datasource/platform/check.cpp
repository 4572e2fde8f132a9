#include "check.h"

namespace veld {

namespace {
std::string describe(const std::string& expression, const std::string& file, int line) {
    return "check failed: " + expression + " (" + file + ":" + std::to_string(line) + ")";
}
}  // namespace

CheckFailure::CheckFailure(std::string expression, std::string file, int line)
    : std::logic_error(describe(expression, file, line)),
      fExpression(std::move(expression)),
      fFile(std::move(file)),
      fLine(line) {}

void FailCheck(const char* expression, const char* file, int line) {
    throw CheckFailure(expression, file, line);
}

}  // namespace veld
