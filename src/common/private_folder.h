#pragma once
// Folders that only this user may enter: where the program keeps what other
// local users must neither read nor plant (mounted discs, the single-instance
// socket), also when it falls back to the shared temporary folder.

#include <filesystem>

#include "common/result.h"

namespace tessaline {

// Makes `path` (its parent must exist) a folder of this user with mode 0700,
// creating it when missing and tightening the mode of one of ours. Refuses a
// folder of another user and anything that is not a folder (a symbolic link
// included): someone else may be waiting there.
Status ensurePrivateFolder(const std::filesystem::path& path);

}  // namespace tessaline
