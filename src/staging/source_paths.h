#pragma once
// What may enter the burn list as a source. A source names the top-level
// entry of the next session by its last component, so it must name one entry
// exactly: absolute, lexically normal (no "." or ".." left, no doubled or
// trailing slash; links are not resolved), and never the root.

#include <filesystem>

#include "common/result.h"

namespace tessaline {

// The source as the burn list keeps it: a relative path taken against
// workingFolder, then made lexically normal. InvalidInput for an empty path
// and for anything that normalises to "/" (such as "/.." or "a/../..").
Result<std::filesystem::path> normaliseSourcePath(const std::filesystem::path& path,
                                                  const std::filesystem::path& workingFolder);

// Why a source remembered on a disc may not come back into the burn list:
// it is restored only when a user could have added it by hand. Answers
// InvalidInput when it is not absolute or not normal, PermissionDenied for a
// system folder (the root, /proc, /sys, /dev, /run and what lies below), and
// NotFound when nothing exists there (links followed).
Status checkRestorableSource(const std::filesystem::path& path);

}  // namespace tessaline
