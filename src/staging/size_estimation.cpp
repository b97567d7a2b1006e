#include "staging/size_estimation.h"

#include "common/records.h"
#include "staging/file_operations.h"
#include "staging/tree_walk.h"

#include <sys/stat.h>

#include <string>

namespace tessaline {

namespace fs = std::filesystem;
using kplextensions::resolvedPath;

namespace {

// Bytes / 1000 of one entry, as the sum is kept; 0 when unreadable.
double kilobytesOf(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return 0.0;
  return static_cast<double>(st.st_size) / 1000.0;
}

double kilobytesOf(const staging::WalkEntry& e, bool resolving) {
  if (resolving && e.info.isLink()) {
    const std::string full(e.full);
    const fs::path target = resolvedPath(full);
    if (target.native() != full) return kilobytesOf(target.c_str());
  }
  return static_cast<double>(e.info.size) / 1000.0;
}

double floored(double kilobytes) { return kilobytes == 0.0 ? kMinimumSizeInMB : kilobytes / 1000.0; }

}  // namespace

double sizeInMBWithPath(const fs::path& path, bool resolving) {
  const fs::path p = resolving ? resolvedPath(path) : path;
  struct stat st {};
  double total = 0.0;
  if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    staging::walkTree(p, [&](const staging::WalkEntry& e) { total += kilobytesOf(e, resolving); });
  } else {
    total = kilobytesOf(p.c_str());
  }
  return floored(total);
}

double incrementalSizeInMBWithPath(const fs::path& path, const fs::path& mountPath, bool resolving) {
  // The disc holds the source under the name it has in the burn list, which
  // is the alias's own name when the item is an alias.
  const std::string name = lastPathComponent(path);
  const fs::path p = resolving ? resolvedPath(path) : path;
  struct stat st {};
  if (stat(p.c_str(), &st) != 0) return 0.0;
  if (!S_ISDIR(st.st_mode)) {
    const fs::path disc = mountPath / name;
    if (kplextensions::pathModDate(p, disc) || kplextensions::pathIsAlias(p)) return sizeInMBWithPath(p, resolving);
    return 0.0;
  }
  std::string discRoot = (mountPath / name).native();
  discRoot += '/';
  std::string disc;
  double total = 0.0;
  staging::walkTree(p, [&](const staging::WalkEntry& e) {
    disc.assign(discRoot).append(e.relative);
    bool candidate = kplextensions::compareWithDiscCopy(std::string(e.full), e.info.mode, e.info.size, e.info.mtime,
                                                        disc) != kplextensions::DiscCopy::Same;
    if (!candidate && resolving && e.info.isLink()) candidate = kplextensions::pathIsAlias(std::string(e.full));
    if (!candidate || e.info.isFolder()) return;
    if (e.info.isLink()) {
      // Counts when it leads to something that is not a folder.
      struct stat target {};
      if (stat(std::string(e.full).c_str(), &target) != 0 || S_ISDIR(target.st_mode)) return;
      total += sizeInMBWithPath(std::string(e.full), resolving);
      return;
    }
    total += floored(static_cast<double>(e.info.size) / 1000.0);
  });
  return total;
}

}  // namespace tessaline
