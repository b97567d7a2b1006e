#include "staging/alias_resolution.h"

#include "common/log.h"
#include "staging/file_operations.h"
#include "staging/tree_update.h"
#include "staging/tree_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// a == b, or a is a folder holding b.
bool isSameOrAncestor(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (a == "/") return true;
  return b.size() > a.size() && b.compare(0, a.size(), a) == 0 && b[a.size()] == '/';
}

struct Replacement {
  std::string path;    // relative staged path that was an alias
  std::string target;  // absolute path of the folder copied there
};

}  // namespace

void resolveAliases(const fs::path& stagingRoot, const std::optional<fs::path>& mountPath,
                    const std::function<bool()>& incrementalUpdateIndicated, StagingJournal* journal,
                    kplextensions::ChangeTest changeTest) {
  logLine("resolving aliases...");
  // Staged relative path -> folder target that replaced the alias there.
  std::map<std::string, std::string> resolvedFolders;
  // Links left alone on purpose, so that later passes do not count them as changes.
  std::set<std::string> keptLinks;

  std::string root = stagingRoot.native();
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  bool changed = true;
  int passes = 0;
  while (changed) {
    if (passes == kMaxAliasPasses) {
      logLine("alias resolution stopped after " + std::to_string(passes) + " passes");
      break;
    }
    ++passes;
    changed = false;
    // Collected first: the pass must not walk what it is replacing.
    std::vector<std::pair<std::string, std::string>> aliases;  // relative path, target
    staging::walkTree(stagingRoot, [&](const staging::WalkEntry& e) {
      if (!e.info.isLink()) return;
      const std::string rel(e.relative);
      if (keptLinks.count(rel) != 0) return;
      const fs::path target = kplextensions::resolvedPath(fs::path(std::string(e.full)));
      if (target.native() == e.full) return;
      aliases.emplace_back(rel, target.native());
    });

    for (const auto& [rel, target] : aliases) {
      const std::string full = root + "/" + rel;
      // The targets already copied on this entry's own staged path: copying one
      // of them (or a folder holding one) again would nest without end.
      bool cycle = false;
      for (std::string ancestor = rel;;) {
        auto it = resolvedFolders.find(ancestor);
        if (it != resolvedFolders.end() && isSameOrAncestor(target, it->second)) {
          cycle = true;
          break;
        }
        const auto slash = ancestor.rfind('/');
        if (slash == std::string::npos) break;
        ancestor.resize(slash);
      }
      // A target that holds the staging folder would copy it into itself; one
      // inside it is not the user's file (a kept link that points back in).
      if (!cycle && (isSameOrAncestor(target, root) || isSameOrAncestor(root, target))) cycle = true;
      if (cycle) {
        logLine("not resolving alias " + full + ": its target " + target + " holds the alias itself");
        keptLinks.insert(rel);
        continue;
      }
      if (unlink(full.c_str()) != 0) {
        logLine("cannot remove alias " + full + ": " + std::strerror(errno));
        keptLinks.insert(rel);
        continue;
      }
      if (journal != nullptr) journal->remove(full);
      struct stat st {};
      if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) resolvedFolders[rel] = target;
      std::optional<fs::path> comparePath;
      if (mountPath) comparePath = *mountPath / rel;
      {
        StagingJournal::ReasonOverride reason(journal, StagingReason::Alias);
        updateSourcePath(target, full, incrementalUpdateIndicated(), comparePath, true, journal, changeTest,
                         stagingRoot);
      }
      changed = true;
    }
  }
}

}  // namespace tessaline
