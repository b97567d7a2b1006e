#include "staging/file_operations.h"

#include "common/log.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tessaline::kplextensions {

namespace {

Error errnoError(int err, const std::string& what, const fs::path& path) {
  return makeError(errorKindOf(err), what + " " + path.native() + ": " + std::strerror(err));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Answers 0 or an errno.
int copyData(int in, int out, std::int64_t size) {
  // A reflink shares the blocks where the file system can (btrfs, xfs).
  if (size > 0 && ioctl(out, FICLONE, in) == 0) return 0;
  std::int64_t done = 0;
  for (;;) {
    const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1u << 30, 0);
    if (n > 0) {
      done += n;
      continue;
    }
    if (n == 0) {
      if (done >= size) return 0;
      // Some file systems (procfs-like, FUSE) report 0 at once: read instead.
      if (done == 0) break;
      return 0;
    }
    if (errno == EINTR) continue;
    // Not between these files or file systems: read instead.
    if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                      errno == EBADF))
      break;
    return errno;
  }
  if (lseek(in, done, SEEK_SET) < 0 || lseek(out, done, SEEK_SET) < 0) return errno;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    const char* p = buffer.data();
    std::size_t left = static_cast<std::size_t>(n);
    while (left > 0) {
      const ssize_t w = write(out, p, left);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      p += w;
      left -= static_cast<std::size_t>(w);
    }
  }
}

// Copies the "user." attributes. Answers 0 or the errno of the first
// attribute that could not be kept.
int copyUserAttributes(int in, int out) {
  std::vector<char> names;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t len = flistxattr(in, nullptr, 0);
    if (len < 0) return (errno == ENOTSUP) ? 0 : errno;
    if (len == 0) return 0;
    names.resize(static_cast<std::size_t>(len));
    const ssize_t got = flistxattr(in, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) return errno;
    names.clear();
  }
  int firstError = 0;
  std::vector<char> value;
  for (std::size_t i = 0; i < names.size();) {
    const char* name = names.data() + i;
    const std::size_t nameLength = strnlen(name, names.size() - i);
    i += nameLength + 1;
    if (std::strncmp(name, "user.", 5) != 0) continue;
    ssize_t got = -1;
    for (int attempt = 0; attempt < 4; ++attempt) {
      const ssize_t len = fgetxattr(in, name, nullptr, 0);
      if (len < 0) break;
      value.resize(static_cast<std::size_t>(len));
      got = fgetxattr(in, name, value.data(), value.size());
      if (got >= 0 || errno != ERANGE) break;
    }
    if (got < 0) {
      if (firstError == 0 && errno != ENODATA) firstError = errno;
      continue;
    }
    if (fsetxattr(out, name, value.data(), static_cast<std::size_t>(got), 0) != 0 && firstError == 0)
      firstError = errno;
  }
  return firstError;
}

Status copyLink(const fs::path& from, const fs::path& toPath, std::int64_t sizeHint) {
  std::vector<char> target(static_cast<std::size_t>(sizeHint > 0 ? sizeHint : 64) + 1);
  for (;;) {
    const ssize_t n = readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return errnoError(errno, "cannot read the link", from);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  target.push_back('\0');
  if (symlink(target.data(), toPath.c_str()) != 0) return errnoError(errno, "cannot create the link", toPath);
  return {};
}

}  // namespace

bool isLaterInWholeSeconds(const timespec& a, const timespec& b) { return a.tv_sec > b.tv_sec; }

timespec dateOnDisc(const timespec& date) {
  // 1902 rather than 1900: the staging folder's file system may count seconds
  // in 32 bits before 1970, as ext4 does, and hold nothing before 1901-12-13.
  constexpr time_t kEarliest = -2'145'916'800;  // 1902-01-01 00:00:00 UTC
  constexpr time_t kLatest = 5'869'411'200;     // 2155-12-30 00:00:00 UTC
  if (date.tv_sec < kEarliest) return timespec{kEarliest, 0};
  if (date.tv_sec > kLatest) return timespec{kLatest, 0};
  return date;
}

std::string linkTargetOnDisc(std::string target) {
  if (target.size() >= 2 && target.back() == '/' && target[target.size() - 2] != '/') target.pop_back();
  return target;
}

DiscCopy compareWithDiscCopy(const fs::path& entry, mode_t mode, std::int64_t size, const timespec& mtime,
                             const fs::path& discCopy, ChangeTest test) {
  const timespec date = dateOnDisc(mtime);
  struct stat other {};
  if (discCopy.empty() || lstat(discCopy.c_str(), &other) != 0) return DiscCopy::Missing;
  if (S_ISLNK(other.st_mode) && !S_ISLNK(mode)) {
    if (stat(discCopy.c_str(), &other) != 0) return DiscCopy::Missing;
  }
  const bool newer = isLaterInWholeSeconds(date, other.st_mtim);
  if (S_ISDIR(mode)) return newer ? DiscCopy::Newer : DiscCopy::Same;
  if (S_ISLNK(mode) && S_ISLNK(other.st_mode) && other.st_size == size - 1) {
    std::error_code ec;
    if (linkTargetOnDisc(fs::read_symlink(entry, ec).native()).size() == static_cast<std::size_t>(other.st_size))
      size = other.st_size;
  }
  if ((S_ISLNK(mode) != S_ISLNK(other.st_mode)) || static_cast<std::int64_t>(other.st_size) != size)
    return newer ? DiscCopy::Newer : DiscCopy::Changed;
  if (test == ChangeTest::Contents && S_ISREG(mode) && S_ISREG(other.st_mode))
    return sameContents(entry, discCopy) ? DiscCopy::Same : DiscCopy::Changed;
  if (newer) return DiscCopy::Newer;
  // A copy restored from elsewhere, or a clock set back: older is a change too.
  return date.tv_sec != other.st_mtim.tv_sec ? DiscCopy::Changed : DiscCopy::Same;
}

bool sameContents(const fs::path& a, const fs::path& b) {
  Fd first(open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  Fd second(open(b.c_str(), O_RDONLY | O_CLOEXEC));
  if (first.get() < 0 || second.get() < 0) return false;
  posix_fadvise(first.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(second.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  constexpr std::size_t kChunk = 1 << 20;
  std::vector<char> left(kChunk);
  std::vector<char> right(kChunk);
  // Reads a whole chunk unless the file ends first; -1 on an error.
  auto fill = [](int fd, std::vector<char>& buffer) -> ssize_t {
    std::size_t have = 0;
    while (have < buffer.size()) {
      const ssize_t n = read(fd, buffer.data() + have, buffer.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(have);
  };
  for (;;) {
    const ssize_t l = fill(first.get(), left);
    const ssize_t r = fill(second.get(), right);
    if (l < 0 || r < 0 || l != r) return false;
    if (l == 0) return true;
    if (std::memcmp(left.data(), right.data(), static_cast<std::size_t>(l)) != 0) return false;
  }
}

bool pathModDate(const fs::path& path, const fs::path& isLaterThanPath) {
  struct stat other {};
  if (isLaterThanPath.empty() || lstat(isLaterThanPath.c_str(), &other) != 0) return true;
  struct stat mine {};
  if (lstat(path.c_str(), &mine) != 0) {
    // Nothing to compare on this side: staged only if the disc lacks it.
    return S_ISLNK(other.st_mode) && stat(isLaterThanPath.c_str(), &other) != 0;
  }
  return compareWithDiscCopy(path, mine.st_mode, static_cast<std::int64_t>(mine.st_size), mine.st_mtim,
                             isLaterThanPath) != DiscCopy::Same;
}

void cloneModDate(const fs::path& from, const fs::path& toPath) {
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0) return;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = dateOnDisc(st.st_mtim);
  utimensat(AT_FDCWD, toPath.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

fs::path resolvedPath(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  fs::path target(real);
  std::free(real);
  return target;
}

bool pathIsAlias(const fs::path& path) { return resolvedPath(path) != path; }

Status copyPath(const fs::path& from, const fs::path& toPath) {
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0) return errnoError(errno, "cannot read", from);
  if (S_ISLNK(st.st_mode)) return copyLink(from, toPath, static_cast<std::int64_t>(st.st_size));
  if (!S_ISREG(st.st_mode)) return makeError(ErrorKind::InvalidInput, "not a regular file: " + from.native());

  // O_NONBLOCK: should the entry have become a FIFO meanwhile, opening it must not hang.
  Fd in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.get() < 0) return errnoError(errno, "cannot read", from);
  struct stat inStat {};
  if (fstat(in.get(), &inStat) != 0) return errnoError(errno, "cannot read", from);
  if (!S_ISREG(inStat.st_mode)) return makeError(ErrorKind::InvalidInput, "not a regular file: " + from.native());
  fcntl(in.get(), F_SETFL, 0);

  Fd out(open(toPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) return errnoError(errno, "cannot create", toPath);

  if (const int err = copyData(in.get(), out.get(), static_cast<std::int64_t>(inStat.st_size)); err != 0) {
    unlink(toPath.c_str());
    return errnoError(err, "cannot copy", from);
  }
  if (const int err = copyUserAttributes(in.get(), out.get()); err != 0) {
    // The data is there; what is lost is the fork and Finder information.
    logLine("cannot keep the extended attributes of " + from.native() + " in " + toPath.native() + ": " +
            std::strerror(err));
  }
  fchmod(out.get(), inStat.st_mode & 07777);
  if (close(out.release()) != 0) {
    const int err = errno;
    unlink(toPath.c_str());
    return errnoError(err, "cannot copy", from);
  }
  return {};
}

}  // namespace tessaline::kplextensions
