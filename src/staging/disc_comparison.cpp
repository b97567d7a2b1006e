#include "staging/disc_comparison.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "common/records.h"
#include "staging/file_operations.h"
#include "staging/fork_splitting.h"
#include "staging/tree_walk.h"

namespace tessaline {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 1 << 20;

std::vector<std::string> folderNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// The extended attribute's bytes; no value when the file has none.
std::optional<std::string> attribute(const std::string& path, const char* name) {
  const ssize_t size = ::getxattr(path.c_str(), name, nullptr, 0);
  if (size < 0) return std::nullopt;
  std::string value(static_cast<std::size_t>(size), '\0');
  const ssize_t got = ::getxattr(path.c_str(), name, value.data(), value.size());
  if (got < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(got));
  return value;
}

// The side file a burn writes for a file, or no value when it writes none.
std::optional<std::string> expectedSideFile(const std::string& path) {
  const auto fork = attribute(path, kResourceForkAttribute);
  // Finder information of another length is not Finder information.
  std::string info = attribute(path, kFinderInfoAttribute).value_or(std::string());
  if (info.size() != kFinderInfoLength) info.clear();
  const bool anyInfo = std::any_of(info.begin(), info.end(), [](char c) { return c != 0; });
  if ((!fork || fork->empty()) && !anyInfo) return std::nullopt;
  std::array<std::byte, kFinderInfoLength> finderInfo{};
  if (!info.empty()) std::memcpy(finderInfo.data(), info.data(), kFinderInfoLength);
  return appleDoubleBytes(finderInfo, fork.value_or(std::string()));
}

class Comparison {
 public:
  Comparison(const DiscComparisonOptions& options, DiscComparison& out) : options_(options), out_(out) {}

  void add(const std::string& rel, DiscEntryState state, std::string detail = {}) {
    if (state == DiscEntryState::Same && !options_.reportSame) return;
    out_.entries.push_back(DiscEntry{rel, state, std::move(detail)});
  }

  bool stopped() {
    if (options_.cancel != nullptr && options_.cancel->load()) out_.cancelled = true;
    return out_.cancelled;
  }

  // Bytes of the regular files the comparison will read (links followed
  // where a burn follows them).
  void countBytes(const std::string& source) {
    const fs::path effective = options_.resolveAliases ? kplextensions::resolvedPath(source) : fs::path(source);
    struct stat st {};
    if (::stat(effective.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
      total_ += static_cast<std::uint64_t>(st.st_size);
      return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    staging::walkTree(effective, [&](const staging::WalkEntry& e) {
      if (e.info.isRegular()) total_ += static_cast<std::uint64_t>(e.info.size);
    });
  }

  void compare(const std::string& source, const std::string& disc, const std::string& rel) {
    if (stopped()) return;
    struct stat own {};
    if (::lstat(source.c_str(), &own) != 0) return;  // vanished meanwhile
    std::string effective = source;
    if (S_ISLNK(own.st_mode)) {
      const fs::path target = options_.resolveAliases ? kplextensions::resolvedPath(source) : fs::path(source);
      if (target.native() == source) {
        compareLink(source, own, disc, rel);
        return;
      }
      effective = target.native();
    }
    struct stat st {};
    if (::stat(effective.c_str(), &st) != 0) return;
    st.st_mtim = kplextensions::dateOnDisc(st.st_mtim);  // as the burn staged it
    struct stat onDisc {};
    const bool present = ::stat(disc.c_str(), &onDisc) == 0;
    if (S_ISDIR(st.st_mode)) {
      if (!present) return add(rel, DiscEntryState::OnlyInSource, "a folder never burned");
      if (!S_ISDIR(onDisc.st_mode)) return add(rel, DiscEntryState::Differs, "a folder here, a file on the disc");
      compareFolder(effective, st, disc, rel);
      return;
    }
    if (!S_ISREG(st.st_mode)) return;  // devices, sockets and pipes are never burned
    if (!present) return add(rel, DiscEntryState::OnlyInSource, "never burned");
    if (!S_ISREG(onDisc.st_mode)) return add(rel, DiscEntryState::Differs, "a file here, not on the disc");
    compareFile(effective, st, disc, onDisc, rel);
  }

 private:
  void compareLink(const std::string& source, const struct stat& own, const std::string& disc, const std::string& rel) {
    struct stat onDisc {};
    if (::lstat(disc.c_str(), &onDisc) != 0) return add(rel, DiscEntryState::OnlyInSource, "a link never burned");
    if (!S_ISLNK(onDisc.st_mode)) return add(rel, DiscEntryState::Differs, "a link here, not on the disc");
    const auto target = [](const std::string& path) {
      std::error_code ec;
      return fs::read_symlink(path, ec).native();
    };
    if (kplextensions::linkTargetOnDisc(target(source)) == target(disc)) return add(rel, DiscEntryState::Same);
    if (own.st_mtim.tv_sec > onDisc.st_mtim.tv_sec) return add(rel, DiscEntryState::Pending, "the link changed");
    add(rel, DiscEntryState::Differs, "the link points elsewhere");
  }

  void compareFolder(const std::string& source, const struct stat& st, const std::string& disc, const std::string& rel) {
    // A link that leads back to one of its own folders is not followed round.
    const auto id = std::make_pair(st.st_dev, st.st_ino);
    if (!onPath_.insert(id).second) return;
    const auto sourceNames = folderNames(source);
    const auto discNames = folderNames(disc);
    const std::set<std::string> inSource(sourceNames.begin(), sourceNames.end());
    std::set<std::string> explained;  // disc names that belong to a source entry
    for (const std::string& name : sourceNames) {
      if (stopped()) break;
      const std::string from = source + "/" + name;
      compare(from, disc + "/" + name, join(rel, name));
      explained.insert(name);
      if (options_.splitForks) compareSideFile(from, disc + "/._" + name, join(rel, "._" + name), explained, "._" + name);
    }
    for (const std::string& name : discNames) {
      if (explained.count(name) != 0) continue;
      add(join(rel, name), DiscEntryState::OnlyOnDisc, "gone from the source; the disc keeps it");
    }
    onPath_.erase(id);
  }

  void compareSideFile(const std::string& source, const std::string& disc, const std::string& rel,
                       std::set<std::string>& explained, const std::string& name) {
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0) return;
    // A link burned as a link has no side file; a resolved one has its
    // target's, which stat and getxattr reach through the link.
    if (S_ISLNK(st.st_mode) && !options_.resolveAliases) return;
    if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const auto expected = expectedSideFile(source);
    struct stat onDisc {};
    const bool present = ::lstat(disc.c_str(), &onDisc) == 0 && S_ISREG(onDisc.st_mode);
    if (!expected) return;  // a "._" entry there is the source's own, or gone with the fork
    explained.insert(name);
    if (!present) return add(rel, DiscEntryState::OnlyInSource, "the resource fork or Finder information was never burned");
    if (static_cast<std::size_t>(onDisc.st_size) != expected->size() ||
        (!options_.quick && !fileHolds(disc, *expected))) {
      if (st.st_mtim.tv_sec > onDisc.st_mtim.tv_sec) return add(rel, DiscEntryState::Pending, "newer here");
      return add(rel, DiscEntryState::Differs, "the resource fork or Finder information differs");
    }
    add(rel, DiscEntryState::Same);
  }

  void compareFile(const std::string& source, const struct stat& st, const std::string& disc,
                   const struct stat& onDisc, const std::string& rel) {
    ++out_.filesCompared;
    const bool newer = st.st_mtim.tv_sec > onDisc.st_mtim.tv_sec;
    if (options_.quick) {
      if (st.st_size == onDisc.st_size && st.st_mtim.tv_sec == onDisc.st_mtim.tv_sec) return add(rel, DiscEntryState::Same);
      if (newer) return add(rel, DiscEntryState::Pending, "newer here");
      if (st.st_size != onDisc.st_size)
        return add(rel, DiscEntryState::Differs,
                   std::to_string(st.st_size) + " bytes here, " + std::to_string(onDisc.st_size) + " on the disc");
      return add(rel, DiscEntryState::Differs, "another date here (older)");
    }
    if (newer) {
      progress(static_cast<std::uint64_t>(st.st_size));
      return add(rel, DiscEntryState::Pending, "newer here");
    }
    const auto differsAt = firstDifference(source, disc, static_cast<std::uint64_t>(st.st_size));
    if (!differsAt) return add(rel, DiscEntryState::Same);
    if (st.st_size != onDisc.st_size)
      return add(rel, DiscEntryState::Differs,
                 std::to_string(st.st_size) + " bytes here, " + std::to_string(onDisc.st_size) + " on the disc");
    add(rel, DiscEntryState::Differs, "the contents differ from byte " + std::to_string(*differsAt));
  }

  void progress(std::uint64_t bytes) {
    done_ += bytes;
    if (options_.progress) options_.progress(done_, total_);
  }

  bool fileHolds(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string got(bytes.size() + 1, '\0');
    std::size_t have = 0;
    for (;;) {
      const ssize_t n = ::read(fd, got.data() + have, got.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      have += static_cast<std::size_t>(n);
      if (have == got.size()) break;
    }
    ::close(fd);
    return have == bytes.size() && std::memcmp(got.data(), bytes.data(), have) == 0;
  }

  // Reads both files once, side by side; answers the first byte that
  // differs (or where one ends early), no value when they are equal.
  std::optional<std::uint64_t> firstDifference(const std::string& source, const std::string& disc,
                                               std::uint64_t expected) {
    const int a = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    const int b = ::open(disc.c_str(), O_RDONLY | O_CLOEXEC);
    std::optional<std::uint64_t> result;
    if (a < 0 || b < 0) {
      result = 0;
    } else {
      ::posix_fadvise(a, 0, 0, POSIX_FADV_SEQUENTIAL);
      ::posix_fadvise(b, 0, 0, POSIX_FADV_SEQUENTIAL);
      if (!left_) {
        left_ = std::make_unique<char[]>(kChunk);
        right_ = std::make_unique<char[]>(kChunk);
      }
      std::uint64_t offset = 0;
      for (;;) {
        if (stopped()) break;
        const ssize_t l = fill(a, left_.get());
        const ssize_t r = fill(b, right_.get());
        if (l < 0 || r < 0) {
          result = offset;
          break;
        }
        const auto common = static_cast<std::size_t>(std::min(l, r));
        if (const auto at = std::mismatch(left_.get(), left_.get() + common, right_.get()).first - left_.get();
            static_cast<std::size_t>(at) < common) {
          result = offset + static_cast<std::uint64_t>(at);
          break;
        }
        if (l != r) {
          result = offset + common;
          break;
        }
        if (l == 0) break;
        offset += static_cast<std::uint64_t>(l);
        out_.bytesCompared += static_cast<std::uint64_t>(l);
        progress(static_cast<std::uint64_t>(l));
      }
      if (offset < expected && result) progress(expected - offset);
    }
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
    return result;
  }

  static ssize_t fill(int fd, char* buffer) {
    std::size_t have = 0;
    while (have < kChunk) {
      const ssize_t n = ::read(fd, buffer + have, kChunk - have);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(have);
  }

  const DiscComparisonOptions& options_;
  DiscComparison& out_;
  std::set<std::pair<dev_t, ino_t>> onPath_;
  std::unique_ptr<char[]> left_;
  std::unique_ptr<char[]> right_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
};

}  // namespace

const char* discEntryStateName(DiscEntryState state) {
  switch (state) {
    case DiscEntryState::Same: return "same";
    case DiscEntryState::Differs: return "differs";
    case DiscEntryState::Pending: return "newer";
    case DiscEntryState::OnlyOnDisc: return "deleted";
    case DiscEntryState::OnlyInSource: return "not burned";
  }
  return "";
}

bool DiscComparison::matches() const {
  return !cancelled && count(DiscEntryState::Differs) == 0 && count(DiscEntryState::Pending) == 0 &&
         count(DiscEntryState::OnlyInSource) == 0;
}

std::size_t DiscComparison::count(DiscEntryState state) const {
  return static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [state](const DiscEntry& e) { return e.state == state; }));
}

DiscComparison compareDiscWithSources(const std::vector<fs::path>& sources, const fs::path& mountPath,
                                      const DiscComparisonOptions& options) {
  DiscComparison out;
  Comparison comparison(options, out);
  if (!options.quick)
    for (const fs::path& source : sources) comparison.countBytes(source.native());
  for (const fs::path& source : sources) {
    if (comparison.stopped()) break;
    const std::string name = lastPathComponent(source);
    comparison.compare(source.native(), (mountPath / name).native(), name);
  }
  return out;
}

std::vector<std::string> entriesDeletedSinceLastSession(const std::vector<fs::path>& sources, const fs::path& mountPath,
                                                        bool resolveAliases) {
  DiscComparisonOptions options;
  options.quick = true;
  options.resolveAliases = resolveAliases;
  std::vector<std::string> gone;
  for (const DiscEntry& entry : compareDiscWithSources(sources, mountPath, options).entries)
    if (entry.state == DiscEntryState::OnlyOnDisc) gone.push_back(entry.path);
  return gone;
}

}  // namespace tessaline
