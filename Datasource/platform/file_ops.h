// Whole-file operations beside the streams, for programs that replace files
// safely (write beside, sync, rename, sync the directory). Each goes through
// the C runtime layer, so a test seam sees, records and can fail it.
// Each returns 0, or the errno value of the failure.
// Thread contract: safe for concurrent use.
#pragma once

#include <string>

#include "veld_api.h"

namespace veld::fileops {

// Puts what the system holds of the file on the disk (fsync; _commit on Windows).
VELD_API int syncFile(const std::string& path);
// As per rename(2): `to` is replaced if it exists.
VELD_API int renameFile(const std::string& from, const std::string& to);
// As per unlink(2).
VELD_API int removeFile(const std::string& path);
// Makes a rename or a new file in the directory that holds `path` survive a
// power cut (POSIX; nothing to do on Windows).
VELD_API int syncDirectoryOf(const std::string& path);

}  // namespace veld::fileops
