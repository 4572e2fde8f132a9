#include "remote_failure.h"

namespace veld::remote {

namespace {
struct Failure {
    std::string name;
    std::string reason;
};
thread_local Failure tFailure;
}  // namespace

std::string lastFailure(const std::string& name) {
    return tFailure.name == name ? tFailure.reason : std::string();
}

std::string withoutCredentials(const std::string& name) {
    const auto scheme = name.find("://");
    if (scheme == std::string::npos) return name;
    const auto hostStart = scheme + 3;
    const auto pathStart = name.find_first_of("/?#", hostStart);
    const auto at = name.rfind('@', pathStart == std::string::npos ? std::string::npos : pathStart);
    if (at == std::string::npos || at < hostStart) return name;
    return name.substr(0, hostStart) + "***" + name.substr(at);
}

void setFailure(const std::string& name, std::string reason) {
    tFailure.name = name;
    tFailure.reason = std::move(reason);
}

void clearFailure() {
    tFailure.name.clear();
    tFailure.reason.clear();
}

}  // namespace veld::remote
