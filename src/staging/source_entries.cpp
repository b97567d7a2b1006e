#include "staging/source_entries.h"

#include <sys/stat.h>

#include "staging/file_operations.h"
#include "staging/fork_splitting.h"
#include "staging/tree_walk.h"

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// A side file needs two bytes more than its file's name (pathconf limit minus 2).
constexpr std::size_t kLongestNameWithSideFile = 253;

class SourceWalk {
 public:
  SourceWalk(const SourceEntryOptions& options, std::vector<StagedEntry>& out) : options_(options), out_(out) {}

  void file(const std::string& relative, const fs::path& from) {
    out_.push_back({relative, StagedType::File, 0, StagingReason::Full});
    const std::string name = fs::path(relative).filename().native();
    if (options_.splitForks && name.size() <= kLongestNameWithSideFile && needsSideFile(from)) {
      const auto slash = relative.rfind('/');
      const std::string folder = slash == std::string::npos ? std::string() : relative.substr(0, slash + 1);
      out_.push_back({folder + "._" + name, StagedType::File, 0, StagingReason::SideFile});
    }
  }

  // The contents of folder, under the relative path prefix.
  void folder(const std::string& prefix, const fs::path& folder) {
    staging::walkTree(folder, [&](const staging::WalkEntry& e) {
      const std::string relative = prefix + "/" + std::string(e.relative);
      if (e.info.isFolder()) {
        out_.push_back({relative, StagedType::Folder, 0, StagingReason::Full});
      } else if (e.info.isRegular()) {
        file(relative, fs::path(std::string(e.full)));
      } else if (e.info.isLink()) {
        link(relative, fs::path(std::string(e.full)));
      }
    });
  }

  void link(const std::string& relative, const fs::path& link) {
    const fs::path target = options_.resolveAliases ? kplextensions::resolvedPath(link) : link;
    struct stat st {};
    if (target == link || stat(target.c_str(), &st) != 0) {
      out_.push_back({relative, StagedType::Link, 0, StagingReason::Full});
      return;
    }
    if (S_ISREG(st.st_mode)) {
      file(relative, target);
    } else if (S_ISDIR(st.st_mode)) {
      std::error_code ec;
      const fs::path above = fs::weakly_canonical(link.parent_path(), ec);
      const std::string t = target.native() + "/";
      if (ec || above == target || (above.native() + "/").starts_with(t)) {
        out_.push_back({relative, StagedType::Link, 0, StagingReason::Full});
        return;
      }
      out_.push_back({relative, StagedType::Folder, 0, StagingReason::Full});
      folder(relative, target);
    }
  }

 private:
  const SourceEntryOptions& options_;
  std::vector<StagedEntry>& out_;
};

}  // namespace

std::vector<StagedEntry> sourceEntriesOf(const std::vector<BurnItem>& items, const SourceEntryOptions& options) {
  std::vector<StagedEntry> out;
  SourceWalk walk(options, out);
  for (const BurnItem& item : items) {
    if (item.permanent()) continue;  // the disc's own entries
    const std::string name = lastPathComponent(item.aPath);
    if (name.empty()) continue;
    struct stat st {};
    if (stat(item.aPath.c_str(), &st) != 0) continue;  // vanished: staging leaves it out too
    if (S_ISDIR(st.st_mode)) {
      out.push_back({name, StagedType::Folder, 0, StagingReason::Full});
      walk.folder(name, item.aPath);
    } else if (struct stat lst {}; lstat(item.aPath.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
      walk.link(name, item.aPath);
    } else if (S_ISREG(st.st_mode)) {
      walk.file(name, item.aPath);
    }
  }
  if (options.storeConfiguration) out.push_back({".tessaline", StagedType::File, 0, StagingReason::Catalogue});
  return out;
}

}  // namespace tessaline
