#pragma once
// Helpers of the staging tests: trees with chosen dates, snapshots to prove
// that sources stay untouched, and the staged tree as a list.

#include "common/log.h"
#include "staging/staging_journal.h"
#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tessaline::test {

// Sets a modification time with nanoseconds, not following links.
inline void setModTimeNs(const fs::path& path, long long seconds, long nanoseconds) {
  const timespec t{static_cast<time_t>(seconds), nanoseconds};
  const timespec times[2] = {t, t};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

inline timespec modTimeNs(const fs::path& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mtim;
}

inline void setAttr(const fs::path& path, const std::string& name, const std::string& value) {
  ASSERT_EQ(lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0) << name << " on " << path;
}

inline std::string getAttr(const fs::path& path, const std::string& name) {
  const ssize_t n = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
  if (n < 0) return "<none>";
  std::string v(static_cast<std::size_t>(n), '\0');
  lgetxattr(path.c_str(), name.c_str(), v.data(), v.size());
  return v;
}

inline void makeLink(const std::string& target, const fs::path& link) {
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

// Everything about a tree that staging must never change.
struct EntrySnapshot {
  mode_t mode = 0;
  long long sec = 0;
  long nsec = 0;
  std::string content;  // file data or link target
  std::string attrs;
  bool operator==(const EntrySnapshot&) const = default;
};

inline std::map<std::string, EntrySnapshot> snapshotTree(const fs::path& root) {
  std::map<std::string, EntrySnapshot> out;
  std::error_code ec;
  auto add = [&](const fs::path& p, const std::string& rel) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return;
    EntrySnapshot s{st.st_mode, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, {}, {}};
    if (S_ISREG(st.st_mode)) s.content = readFile(p);
    if (S_ISLNK(st.st_mode)) s.content = fs::read_symlink(p, ec).native();
    char names[4096];
    const ssize_t n = llistxattr(p.c_str(), names, sizeof names);
    for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(std::strlen(names + i)) + 1)
      s.attrs += std::string(names + i) + "=" + getAttr(p, names + i) + ";";
    out[rel] = s;
  };
  add(root, "");
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    add(it->path(), it->path().lexically_relative(root).native());
  }
  return out;
}

// The staged tree as "relative path" -> kind ('d', 'f', 'l', '?').
inline std::map<std::string, char> listTree(const fs::path& root) {
  std::map<std::string, char> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    lstat(it->path().c_str(), &st);
    const char kind = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : '?';
    out[it->path().lexically_relative(root).native()] = kind;
  }
  return out;
}

inline std::map<std::string, char> listJournal(const StagingJournal& journal) {
  std::map<std::string, char> out;
  for (const auto& e : journal.entries())
    out[e.path] = e.type == StagedType::Folder ? 'd' : e.type == StagedType::Link ? 'l' : 'f';
  return out;
}

// Collects the log lines for the life of the object.
struct CapturedLog {
  std::vector<std::string> lines;
  LogCapture capture{[this](const std::string& line) { lines.push_back(line); }};
  bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
  bool hasPrefix(const std::string& prefix) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
};

}  // namespace tessaline::test
