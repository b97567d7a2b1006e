#pragma once
// The staging folder of one burn. It lives inside a private folder (mode
// 0700, made fresh by mkdtemp) in the temp folder, beside the session image,
// so no other user can plant it or a link in its place.

#include "common/result.h"

#include <cstdint>
#include <filesystem>
#include <memory>

namespace tessaline {

// An open lock file; the lock goes with the last copy.
class FolderLock;

struct StagingFolder {
  std::filesystem::path privateRoot;  // the private folder
  std::filesystem::path stagingPath;  // privateRoot / "%i"
  std::filesystem::path imagePath;    // stagingPath + ".iso"
  // Held while the folder is in use, so that a later run can tell a folder
  // that a run which ended without cleaning up left behind.
  std::shared_ptr<FolderLock> lock;
};

// The "%i" of the staging folder: whole seconds since 1 January 2001
// 00:00:00 UTC, truncated toward zero to a signed 32-bit integer.
std::int32_t secondsSinceReferenceDate();

// The private folders are named "tessaline-XXXXXX" and hold this lock file.
inline constexpr char kStagingLockName[] = ".in-use.lock";

// Makes a new private folder in tempRoot and the staging folder in it, and
// locks it.
Result<StagingFolder> createStagingFolder(const std::filesystem::path& tempRoot);
// The same in the system's temp folder ($TMPDIR, else /tmp).
Result<StagingFolder> createStagingFolder();

// Removes the staging folder and everything in it (the image stays).
Status removeStagingFolder(const StagingFolder& folder);
// Removes the private folder: the staging folder, the image, any leftover.
Status removePrivateFolder(const StagingFolder& folder);

// Removes this user's private folders in tempRoot whose lock nobody holds:
// what runs that were killed or crashed left behind. Folders of other users,
// links, and folders without the lock file are never touched. Answers how
// many were removed.
int removeStaleStagingFolders(const std::filesystem::path& tempRoot);
// The same in the system's temp folder.
int removeStaleStagingFolders();

}  // namespace tessaline
