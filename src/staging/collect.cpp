#include "staging/collect.h"

#include "staging/tree_update.h"

#include <sys/stat.h>

#include <cstdlib>

namespace tessaline {

namespace fs = std::filesystem;

fs::path collectFiles(const std::vector<BurnItem>& items, const StagingFolder& folder,
                      const std::function<bool()>& incrementalUpdateIndicated,
                      const std::optional<fs::path>& mountPath, bool aliasFlag, StagingJournal* journal,
                      kplextensions::ChangeTest changeTest) {
  if (journal != nullptr) journal->setStagingRoot(folder.stagingPath);
  for (const BurnItem& item : items) {
    if (std::atoi(item.isPermanent.c_str()) != 0) continue;  // the disc's own entries
    const fs::path& source = item.aPath;
    const std::string name = lastPathComponent(source);
    if (name.empty()) continue;
    const fs::path destination = folder.stagingPath / name;
    std::optional<fs::path> comparePath;
    if (incrementalUpdateIndicated() && mountPath) comparePath = *mountPath / name;
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) continue;  // vanished: left out silently
    updateSourcePath(source, destination, incrementalUpdateIndicated(), comparePath, aliasFlag, journal, changeTest,
                     folder.privateRoot);
  }
  return folder.stagingPath;
}

}  // namespace tessaline
