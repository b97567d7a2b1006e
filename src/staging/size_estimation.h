#pragma once
// Size estimation of burn items, in decimal megabytes (bytes / 1,000,000),
// from each entry's own size (links not followed), forks and blocks not counted.

#include <filesystem>

namespace tessaline {

// The smallest full size: a full size is never 0.
inline constexpr double kMinimumSizeInMB = 0.0000001;

// Full size of a file or folder (every entry below a folder, subfolders by
// their own size attribute, the folder itself not). resolving: aliases are
// measured by their targets ("resolveDisabled" off).
double sizeInMBWithPath(const std::filesystem::path& path, bool resolving);

// What an incremental update would copy of path against its copy on the disc
// mounted at mountPath (under the source's own name): only new or newer
// files (and, while resolving, aliases). May be 0. The caller decides that
// an incremental update applies; otherwise it asks for the full size.
double incrementalSizeInMBWithPath(const std::filesystem::path& path, const std::filesystem::path& mountPath,
                                   bool resolving);

}  // namespace tessaline
