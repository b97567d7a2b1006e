#pragma once
// The file tree of one ISO 9660 session, read from a disc of unknown origin:
// Rock Ridge names, modes, dates, symbolic links and relocated folders;
// plain ISO 9660 names where the disc has no Rock Ridge. The walk keeps its
// own stack, reads every folder once (a folder that leads back into one
// already read is a damaged disc, not an endless one) and is bounded in
// entries, depth, path length, folder bytes and file bytes. Files that share
// their data and attributes (hard links) are marked as such, so that their
// data is counted and copied once.

#include <atomic>
#include <filesystem>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/units.h"

namespace tessaline {

// Reads out.size() bytes of the medium at `offset`; false when they are not all there.
using MediumReader = std::function<bool(std::uint64_t offset, std::span<char> out)>;

// A medium (a disc image or a block device) open for reading.
class MediumFile {
 public:
  static Result<MediumFile> open(const std::filesystem::path& path);
  MediumFile(MediumFile&& other) noexcept;
  MediumFile& operator=(MediumFile&&) = delete;
  ~MediumFile();

  const MediumReader& reader() const { return reader_; }
  std::uint64_t bytes() const { return bytes_; }
  int fd() const { return fd_; }

 private:
  MediumFile(int fd, std::uint64_t bytes);
  int fd_ = -1;
  std::uint64_t bytes_ = 0;
  MediumReader reader_;
};

struct IsoLimits {
  std::size_t maxEntries = 500'000;
  std::size_t maxDepth = 100;
  std::size_t maxPathBytes = 3000;  // a path inside the tree, without the mount point
  std::uint64_t maxFolderBytes = 32u * 1024u * 1024u;       // one folder's records
  std::uint64_t maxAllFolderBytes = 256u * 1024u * 1024u;  // all folders' records
  // File data, each hard-linked file once; no value: the medium's size.
  std::optional<std::uint64_t> maxFileBytes;
};

struct IsoExtent {
  std::uint64_t offset = 0;  // bytes from the start of the medium
  std::uint32_t length = 0;
};

enum class IsoKind : std::uint8_t { Folder, File, Symlink };

struct IsoEntry {
  IsoKind kind = IsoKind::File;
  std::size_t parent = 0;  // index of the folder that holds it; the root holds itself
  std::string name;        // exact bytes; empty for the root
  std::uint32_t mode = 0;  // permission bits
  std::int64_t mtime = 0;  // seconds since the epoch
  std::int64_t atime = 0;
  std::uint64_t size = 0;           // File
  std::vector<IsoExtent> extents;   // File: its data, in order
  std::optional<std::size_t> linkOf;  // File: an earlier entry it is a hard link of
  std::string target;                 // Symlink
};

struct IsoTree {
  // entries[0] is the root; every entry follows its folder, and a folder's
  // whole content follows it before the next entry of its parent.
  std::vector<IsoEntry> entries;
  std::string volumeId;      // the primary volume descriptor's, trailing blanks trimmed
  std::int64_t created = 0;  // its creation date, seconds since the epoch; 0 when unreadable
  std::uint64_t dataBytes = 0;  // what copying the files writes
  std::vector<std::string> skipped;  // entries left out, each with the reason
};

// Reads the tree of the session whose volume descriptors start 16 blocks
// after `session`. `stop` is asked now and then; when it answers true the
// walk ends as Cancelled.
Result<IsoTree> readIsoTree(const MediumReader& read, std::uint64_t mediumBytes, BlockAddress session,
                            const IsoLimits& limits = {}, const std::function<bool()>& stop = {});

// The path of an entry inside the tree ("a/b/c"; empty for the root).
std::string isoEntryPath(const IsoTree& tree, std::size_t index);

}  // namespace tessaline
