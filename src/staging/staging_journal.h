#pragma once
// A record of what a burn puts into its staging folder: every entry with its
// kind, size and the reason it is there. `preview` prints it; tests compare it
// with the staged tree.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessaline {

enum class StagedType { File, Folder, Link };

enum class StagingReason {
  New,        // missing on the disc
  Newer,      // on the disc, but older there
  Changed,    // on the disc, but another size, an older date, or other contents
  Alias,      // an alias replaced by its target's content
  SideFile,   // AppleDouble side file
  Catalogue,  // the .tessaline file
  Full,       // full copy, not incremental
  Container,  // a folder the disc holds already, made only to hold newer entries
};

const char* stagedTypeName(StagedType type);
const char* stagingReasonName(StagingReason reason);

struct StagedEntry {
  std::string path;  // relative to the staging folder, bytes
  StagedType type = StagedType::File;
  std::uint64_t bytes = 0;
  StagingReason reason = StagingReason::Full;
};

class StagingJournal {
 public:
  StagingJournal() = default;
  explicit StagingJournal(std::filesystem::path stagingRoot);

  void setStagingRoot(const std::filesystem::path& stagingRoot);
  const std::filesystem::path& stagingRoot() const { return root_; }

  // Records (or replaces the record of) an entry given by its absolute path
  // inside the staging folder; paths outside it are not recorded.
  void record(const std::filesystem::path& absolutePath, StagedType type, std::uint64_t bytes,
              StagingReason reason);
  // Forgets an entry and everything below it.
  void remove(const std::filesystem::path& absolutePath);

  // A source entry that could not be read, and so is missing from the
  // staged tree: a burn must not go on as if it were complete.
  void noteUnreadable(const std::string& sourcePath, const std::string& why);
  const std::vector<std::pair<std::string, std::string>>& unreadable() const { return unreadable_; }

  // Entries in byte order of their paths.
  std::vector<StagedEntry> entries() const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::optional<StagedEntry> find(const std::string& relativePath) const;
  std::uint64_t totalBytes() const;

  // While one of these lives, every entry recorded gets the given reason
  // (alias resolution stages its targets' content through the tree update).
  class ReasonOverride {
   public:
    ReasonOverride(StagingJournal* journal, StagingReason reason);
    ~ReasonOverride();
    ReasonOverride(const ReasonOverride&) = delete;
    ReasonOverride& operator=(const ReasonOverride&) = delete;

   private:
    StagingJournal* journal_;
    std::optional<StagingReason> previous_;
  };

 private:
  std::optional<std::string> relative(const std::filesystem::path& absolutePath) const;

  std::filesystem::path root_;
  std::string rootPrefix_;  // root + "/"
  std::map<std::string, StagedEntry> entries_;
  std::optional<StagingReason> override_;
  std::vector<std::pair<std::string, std::string>> unreadable_;  // source path, why
};

}  // namespace tessaline
