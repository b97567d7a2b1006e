#pragma once
// The staging folder of one burn. It lives inside a private folder (mode
// 0700, made fresh by mkdtemp) in the temp folder, beside the session image,
// so no other user can plant it or a link in its place.

#include "common/result.h"

#include <cstdint>
#include <filesystem>

namespace tessaline {

struct StagingFolder {
  std::filesystem::path privateRoot;  // the private folder
  std::filesystem::path stagingPath;  // privateRoot / "%i"
  std::filesystem::path imagePath;    // stagingPath + ".iso"
};

// The "%i" of the staging folder: whole seconds since 1 January 2001
// 00:00:00 UTC, truncated toward zero to a signed 32-bit integer.
std::int32_t secondsSinceReferenceDate();

// Makes a new private folder in tempRoot and the staging folder in it.
Result<StagingFolder> createStagingFolder(const std::filesystem::path& tempRoot);
// The same in the system's temp folder ($TMPDIR, else /tmp).
Result<StagingFolder> createStagingFolder();

// Removes the staging folder and everything in it (the image stays).
Status removeStagingFolder(const StagingFolder& folder);
// Removes the private folder: the staging folder, the image, any leftover.
Status removePrivateFolder(const StagingFolder& folder);

}  // namespace tessaline
