#pragma once
// Resource-fork splitting: before the image is built, each staged file's
// resource fork and Finder information (the extended attributes
// "user.com.apple.ResourceFork" and "user.com.apple.FinderInfo") are saved
// in an AppleDouble version 2 side file "._" + name beside it.

#include "common/result.h"
#include "staging/staging_journal.h"

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace tessaline {

inline constexpr char kResourceForkAttribute[] = "user.com.apple.ResourceFork";
inline constexpr char kFinderInfoAttribute[] = "user.com.apple.FinderInfo";
inline constexpr std::size_t kFinderInfoLength = 32;
inline constexpr std::size_t kAppleDoubleHeaderLength = 82;

// The name limit in bytes for a file that is to get a side file: the
// folder's name limit (pathconf _PC_NAME_MAX) minus the two bytes of "._";
// -3 when the limit cannot be read (then no file gets a side file).
long maxFileNameLengthAt(const std::filesystem::path& root);

// The side file's bytes: header, two entry descriptors (Finder information,
// resource fork), the 32 bytes of Finder information, then the fork.
std::string appleDoubleBytes(std::span<const std::byte, kFinderInfoLength> finderInfo, std::string_view fork);

// True when a regular file (not followed if a link) has a resource fork or
// non-zero Finder information: staging gives it a side file.
bool needsSideFile(const std::filesystem::path& path);

// Writes the side file for one staged entry when it has a fork or non-zero
// Finder information. Folders and links get none, nor does a name longer
// than maxFileNameLength bytes. An existing entry of the side file's name is
// replaced. Answers why no side file was written, if one was needed.
Status SplitFileIfNeeded(const std::filesystem::path& path, long maxFileNameLength,
                         StagingJournal* journal = nullptr);

class RkSF {
 public:
  explicit RkSF(StagingJournal* journal = nullptr) : journal_(journal) {}
  // Sets gMaxFileNameLength from root and splits every entry below it.
  void splitPath(const std::filesystem::path& root);
  void splitFile(const std::filesystem::path& path);

  // The name limit of the current walk (one per run, not process-wide).
  long gMaxFileNameLength = -3;

 private:
  StagingJournal* journal_;
};

// Logs "creating resourceforkfiles..." and splits the staged tree. A file
// that needs a side file and cannot have one is noted in the journal as a
// source that cannot be read whole, under its path in the staging folder.
void splitForksAtPath(const std::filesystem::path& stagingRoot, StagingJournal* journal = nullptr);

}  // namespace tessaline
