#pragma once
// The deep walk every staging step shares. It lists each folder once (taking
// every entry's attributes through the open folder, as du does), visits a
// folder immediately before its contents, never follows a symbolic link below
// the root, and keeps no more than the listings of the folders on the current
// path, so neither depth nor width can exhaust the stack.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tessaline::staging {

// What the walk read of an entry without following a link.
struct EntryInfo {
  mode_t mode = 0;
  std::int64_t size = 0;
  timespec mtime{};
  dev_t device = 0;
  ino_t inode = 0;
  bool isFolder() const;
  bool isLink() const;
  bool isRegular() const;
};

struct WalkEntry {
  std::string_view relative;  // below the root, no leading "/"
  std::string_view full;      // root + "/" + relative
  EntryInfo info;
  // A folder that could not be listed (errno); its contents are not walked.
  int listError = 0;
};

// Called for entries that vanish, cannot be read, or folders that cannot be opened.
using WalkErrorHandler = std::function<void(std::string_view full, int error)>;

// An entry for which it answers true is neither visited nor walked into.
using WalkLeaveOut = std::function<bool(const EntryInfo&)>;

// Walks everything below root (root itself is not visited; a link at the root
// is followed). Answers 0, or the errno of opening the root.
int walkTree(const std::filesystem::path& root, const std::function<void(const WalkEntry&)>& visit,
             const WalkErrorHandler& onError = {}, const WalkLeaveOut& leaveOut = {});

// lstat into an EntryInfo; false when the path has no attributes.
bool readEntryInfo(const char* path, EntryInfo& info);

}  // namespace tessaline::staging
