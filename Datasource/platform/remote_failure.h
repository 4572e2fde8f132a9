// Why the last remote open or read of this thread was refused (the server's
// status and reason, or the transfer library's error), for error messages.
// Names in it have their credentials removed.
// Thread contract: each thread sees its own.
#pragma once

#include <string>

#include "veld_api.h"

namespace veld::remote {

// The reason the last remote open or read on this thread failed for `name`,
// or "" when the last failure was of another name (or there was none).
VELD_API std::string lastFailure(const std::string& name);
// `name` with any user:password@ part of a URL replaced by "***@".
VELD_API std::string withoutCredentials(const std::string& name);

// Used by the remote descriptors.
void setFailure(const std::string& name, std::string reason);
void clearFailure();

}  // namespace veld::remote
