#include "staging/tree_update.h"

#include "common/log.h"
#include "staging/file_operations.h"
#include "staging/tree_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tessaline {

namespace fs = std::filesystem;
using namespace kplextensions;
using staging::EntryInfo;

namespace {

struct Selection {
  bool selected = false;
  StagingReason reason = StagingReason::Full;
};

std::string errnoText(int err) { return std::strerror(err); }

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

class Updater {
 public:
  Updater(bool incremental, bool aliasFlag, StagingJournal* journal, ChangeTest changeTest)
      : incremental_(incremental), aliasFlag_(aliasFlag), journal_(journal), changeTest_(changeTest) {}

  // The selection test against the disc's counterpart.
  Selection select(const std::string& entry, const EntryInfo& info, const std::string& counterpart) const {
    if (!incremental_) return {true, StagingReason::Full};
    switch (compareWithDiscCopy(entry, info.mode, info.size, info.mtime, counterpart, changeTest_)) {
      case DiscCopy::Missing: return {true, StagingReason::New};
      case DiscCopy::Newer: return {true, StagingReason::Newer};
      case DiscCopy::Changed: return {true, StagingReason::Changed};
      case DiscCopy::Same: break;
    }
    if (aliasFlag_ && info.isLink() && pathIsAlias(entry)) return {true, StagingReason::Alias};
    return {false, StagingReason::Full};
  }

  // Makes a folder and any missing ancestor; ancestors made here are recorded
  // as containers, the folder itself with its reason (also when it exists).
  void ensureFolder(const std::string& path, StagingReason reason) {
    if (path.empty()) return;
    if (mkdir(path.c_str(), 0777) == 0) {
      record(path, StagedType::Folder, 0, reason);
      return;
    }
    if (errno == ENOENT) {
      ensureAncestors(parentOf(path));
      if (mkdir(path.c_str(), 0777) == 0) record(path, StagedType::Folder, 0, reason);
      return;
    }
    if (errno == EEXIST) {
      struct stat st {};
      if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) record(path, StagedType::Folder, 0, reason);
    }
  }

  void ensureAncestors(const std::string& path) {
    if (path.empty() || path == lastEnsured_) return;
    // Iterative: find the deepest existing ancestor, then make the rest downwards.
    std::vector<std::string> missing;
    std::string p = path;
    while (!p.empty() && p != "/") {
      if (mkdir(p.c_str(), 0777) == 0) {
        record(p, StagedType::Folder, 0, StagingReason::Container);
        break;
      }
      if (errno != ENOENT) break;
      missing.push_back(p);
      p = parentOf(p);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (mkdir(it->c_str(), 0777) == 0) record(*it, StagedType::Folder, 0, StagingReason::Container);
    }
    lastEnsured_ = path;
  }

  void noteFolderDate(const std::string& sp, const std::string& tp) {
    if (!seenTargets_.insert(tp).second) return;
    folderDates_.emplace_back(sp, tp);
  }

  void applyFolderDates() {
    for (const auto& [sp, tp] : folderDates_) cloneModDate(sp, tp);
  }

  // Stages one non-folder entry at D; answers whether anything was staged.
  void stageEntry(const std::string& entry, const EntryInfo& info, const std::string& destination,
                  StagingReason reason) {
    if (info.isRegular()) {
      const Status copied = copyPath(entry, destination);
      if (!copied.ok()) {
        unreadable("cannot stage", entry, copied.error().message, copied.error().kind == ErrorKind::NotFound);
        return;
      }
      cloneModDate(entry, destination);
      record(destination, StagedType::File, static_cast<std::uint64_t>(info.size), reason);
    } else if (info.isLink()) {
      stageLink(entry, destination, reason);
    } else {
      logLine("skipping irregular file:" + entry);
    }
  }

  void record(const std::string& path, StagedType type, std::uint64_t bytes, StagingReason reason) {
    if (journal_ != nullptr) journal_->record(path, type, bytes, reason);
  }

  // Logs a source entry that could not be read and keeps it for the burn to refuse.
  // An entry that vanished meanwhile is simply no longer a source.
  void unreadable(const char* what, const std::string& path, const std::string& why, bool vanished) {
    logLine(what + (" " + path) + ": " + why);
    if (journal_ != nullptr && !vanished) journal_->noteUnreadable(path, why);
  }

  void forget(const std::string& path) {
    if (journal_ != nullptr) journal_->remove(path);
  }

 private:
  // An alias is staged as the link itself so that alias resolution finds it;
  // while resolution will run, it points at the final target on the user's
  // disk (a relative link would otherwise resolve inside the staging folder).
  void stageLink(const std::string& entry, const std::string& destination, StagingReason reason) {
    bool made = false;
    if (aliasFlag_) {
      const fs::path target = resolvedPath(entry);
      if (target.native() != entry) {
        if (symlink(target.c_str(), destination.c_str()) != 0) {
          logLine("cannot stage " + entry + ": " + errnoText(errno));
          return;
        }
        made = true;
      }
    }
    if (!made) {
      const Status copied = copyPath(entry, destination);
      if (!copied.ok()) {
        logLine("cannot stage " + entry + ": " + copied.error().message);
        return;
      }
    }
    cloneModDate(entry, destination);
    struct stat st {};
    const std::uint64_t bytes =
        lstat(destination.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    record(destination, StagedType::Link, bytes, reason);
  }

  bool incremental_;
  bool aliasFlag_;
  StagingJournal* journal_;
  ChangeTest changeTest_;
  std::string lastEnsured_;
  std::vector<std::pair<std::string, std::string>> folderDates_;
  std::unordered_set<std::string> seenTargets_;
};

std::string withoutTrailingSlash(const fs::path& path) {
  std::string s = path.native();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

void updateSourcePath(const fs::path& source, const fs::path& toPath, bool incremental,
                      const std::optional<fs::path>& comparePath, bool aliasFlag, StagingJournal* journal,
                      ChangeTest changeTest, const fs::path& stagingArea) {
  logLine("updating files from:" + source.native() + " to: " + toPath.native() + ", comparepath " +
          (comparePath ? comparePath->native() : std::string("(null)")));

  const std::string src = withoutTrailingSlash(source);
  const std::string dst = withoutTrailingSlash(toPath);
  const std::string cmp = comparePath ? withoutTrailingSlash(*comparePath) : std::string();

  struct stat followed {};
  if (stat(src.c_str(), &followed) != 0) {
    // A dangling link is still an entry of its own; anything else has vanished.
    EntryInfo own;
    if (!staging::readEntryInfo(src.c_str(), own) || !own.isLink()) return;
    followed.st_mode = own.mode;
  }

  struct stat area {};
  const bool guardArea = !stagingArea.empty() && stat(stagingArea.c_str(), &area) == 0;
  const auto isArea = [&](dev_t device, ino_t inode) {
    if (!guardArea || device != area.st_dev || inode != area.st_ino) return false;
    logLine("leaving out " + stagingArea.native() + ": it is where the session is staged");
    return true;
  };
  if (S_ISDIR(followed.st_mode) && isArea(followed.st_dev, followed.st_ino)) return;

  Updater updater(incremental, aliasFlag, journal, changeTest);

  if (!S_ISDIR(followed.st_mode)) {
    EntryInfo info;
    if (!staging::readEntryInfo(src.c_str(), info)) return;
    const Selection selection = updater.select(src, info, cmp);
    if (!selection.selected) return;
    if (!info.isRegular() && !info.isLink()) {
      logLine("skipping irregular file:" + src);
      return;
    }
    updater.stageEntry(src, info, dst, selection.reason);
    return;
  }

  // A folder (or a link to one, which is followed).
  EntryInfo rootInfo;
  staging::readEntryInfo(src.c_str(), rootInfo);
  StagingReason rootReason = StagingReason::Full;
  if (incremental) {
    const Selection selection = updater.select(src, rootInfo, cmp);
    rootReason = selection.selected ? selection.reason : StagingReason::Container;
    if (rootReason == StagingReason::Alias) rootReason = StagingReason::Container;
  }
  const bool madeRoot = mkdir(dst.c_str(), 0777) == 0;
  if (madeRoot) updater.record(dst, StagedType::Folder, 0, rootReason);

  std::string destination;
  std::string counterpart;
  std::string parentSource;
  std::string parentDestination;
  // Asked of every entry, so only set when there is an area to leave out.
  staging::WalkLeaveOut leaveOut;
  if (guardArea)
    leaveOut = [&](const EntryInfo& info) { return info.isFolder() && isArea(info.device, info.inode); };
  const int walked = staging::walkTree(
      src,
      [&](const staging::WalkEntry& e) {
        destination.assign(dst).append("/").append(e.relative);
        if (e.listError != 0) {
          updater.unreadable("cannot read folder", std::string(e.full), errnoText(e.listError), e.listError == ENOENT);
          return;
        }
        Selection selection{true, StagingReason::Full};
        if (incremental) {
          if (cmp.empty()) counterpart.clear();
          else counterpart.assign(cmp).append("/").append(e.relative);
          selection = updater.select(std::string(e.full), e.info, counterpart);
          if (!selection.selected) return;
        }
        if (e.info.isFolder()) {
          updater.ensureFolder(destination, selection.reason);
          updater.noteFolderDate(std::string(e.full), destination);
          return;
        }
        parentSource = parentOf(std::string(e.full));
        parentDestination = parentOf(destination);
        updater.ensureAncestors(parentDestination);
        updater.noteFolderDate(parentSource, parentDestination);
        updater.stageEntry(std::string(e.full), e.info, destination, selection.reason);
      },
      [&](std::string_view full, int error) {
        updater.unreadable("cannot read", std::string(full), errnoText(error), error == ENOENT);
      },
      leaveOut);
  if (walked != 0) {
    updater.unreadable("cannot read folder", src, errnoText(walked), walked == ENOENT);
    if (madeRoot && rmdir(dst.c_str()) == 0) updater.forget(dst);
    return;
  }

  updater.applyFolderDates();
  cloneModDate(src, dst);
}

}  // namespace tessaline
