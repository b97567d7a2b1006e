#include "staging/source_paths.h"

#include <sys/stat.h>

#include <array>
#include <string_view>

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// Lexical normal form without a trailing slash: "/a/b/" and "/a/./b" are "/a/b".
fs::path normalForm(const fs::path& absolute) {
  fs::path normal = absolute.lexically_normal();
  std::string text = normal.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return fs::path(text);
}

}  // namespace

Result<fs::path> normaliseSourcePath(const fs::path& path, const fs::path& workingFolder) {
  if (path.empty()) return makeError(ErrorKind::InvalidInput, "an empty name is not a file or folder");
  const fs::path absolute = path.is_absolute() ? path : workingFolder / path;
  const fs::path normal = normalForm(absolute);
  if (normal == "/" || !normal.is_absolute())
    return makeError(ErrorKind::InvalidInput, "the whole file system (\"/\") cannot be a source");
  return normal;
}

Status checkRestorableSource(const fs::path& path) {
  if (path == "/") return makeError(ErrorKind::PermissionDenied, "the whole file system");
  if (!path.is_absolute() || normalForm(path) != path)
    return makeError(ErrorKind::InvalidInput, "not an absolute, plain path");
  static constexpr std::array<std::string_view, 4> kSystemFolders = {"/proc", "/sys", "/dev", "/run"};
  const std::string_view text = path.native();
  for (const std::string_view folder : kSystemFolders) {
    if (text == folder || (text.starts_with(folder) && text[folder.size()] == '/'))
      return makeError(ErrorKind::PermissionDenied, "a system folder");
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return makeError(ErrorKind::NotFound, "not on this computer");
  return {};
}

}  // namespace tessaline
