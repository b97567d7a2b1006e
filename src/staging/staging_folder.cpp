#include "staging/staging_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tessaline {

namespace fs = std::filesystem;

class FolderLock {
 public:
  explicit FolderLock(int fd) : fd_(fd) {}
  ~FolderLock() { ::close(fd_); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

namespace {

// An open-file-description lock: held per open file, so it is never lost
// to a close of the same file elsewhere in the process, and goes with the
// process.
bool lockFile(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

fs::path tempRootOrEmpty() {
  std::error_code ec;
  const fs::path root = fs::temp_directory_path(ec);
  return ec ? fs::path() : root;
}


// 1 January 2001 00:00:00 UTC in Unix time.
constexpr std::int64_t kReferenceDateUnix = 978307200;

Status removeTree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return makeError(errorKindOf(ec.value()), "cannot remove " + path.native() + ": " + ec.message());
  return {};
}

}  // namespace

std::int32_t secondsSinceReferenceDate() {
  using namespace std::chrono;
  const double now = duration<double>(system_clock::now().time_since_epoch()).count();
  const double interval = std::trunc(now - static_cast<double>(kReferenceDateUnix));
  // Truncation to 32 bits, as the folder name has always had it.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(interval)));
}

Result<StagingFolder> createStagingFolder(const fs::path& tempRoot) {
  std::string pattern = (tempRoot / "tessaline-XXXXXX").native();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    const int err = errno;
    return makeError(errorKindOf(err), "cannot make a private staging folder in " + tempRoot.native() + ": " +
                     std::strerror(err));
  }
  StagingFolder folder;
  folder.privateRoot = buffer.data();
  chmod(folder.privateRoot.c_str(), 0700);
  // Locked under another name first: a lock file under its own name is
  // always held while the folder is in use.
  const fs::path lockPath = folder.privateRoot / kStagingLockName;
  const fs::path newLock = folder.privateRoot / ".new.lock";
  const int lockFd = ::open(newLock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd < 0 || !lockFile(lockFd) || ::rename(newLock.c_str(), lockPath.c_str()) != 0) {
    const int err = errno;
    if (lockFd >= 0) ::close(lockFd);
    std::error_code ec;
    fs::remove_all(folder.privateRoot, ec);
    return makeError(errorKindOf(err), "cannot lock the private staging folder " + folder.privateRoot.native() + ": " +
                     std::strerror(err));
  }
  folder.lock = std::make_shared<FolderLock>(lockFd);
  folder.stagingPath = folder.privateRoot / std::to_string(secondsSinceReferenceDate());
  folder.imagePath = folder.stagingPath;
  folder.imagePath += ".iso";
  if (mkdir(folder.stagingPath.c_str(), 0777) != 0) {
    const int err = errno;
    std::error_code ec;
    fs::remove_all(folder.privateRoot, ec);
    return makeError(errorKindOf(err), "cannot make the staging folder " + folder.stagingPath.native() + ": " +
                     std::strerror(err));
  }
  return folder;
}

Result<StagingFolder> createStagingFolder() {
  std::error_code ec;
  const fs::path tempRoot = fs::temp_directory_path(ec);
  if (ec) return makeError(errorKindOf(ec.value()), "no usable temp folder: " + ec.message());
  return createStagingFolder(tempRoot);
}

Status removeStagingFolder(const StagingFolder& folder) {
  if (folder.stagingPath.empty()) return {};
  return removeTree(folder.stagingPath);
}

Status removePrivateFolder(const StagingFolder& folder) {
  if (folder.privateRoot.empty()) return {};
  return removeTree(folder.privateRoot);
}

int removeStaleStagingFolders(const fs::path& tempRoot) {
  if (tempRoot.empty()) return 0;
  DIR* dir = ::opendir(tempRoot.c_str());
  if (dir == nullptr) return 0;
  std::vector<fs::path> stale;
  constexpr std::string_view kPrefix = "tessaline-";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(kPrefix) || name.size() != kPrefix.size() + 6) continue;
    const fs::path folder = tempRoot / std::string(name);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0777) != 0700)
      continue;
    const fs::path lockPath = folder / kStagingLockName;
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat lockStat {};
    // Whoever still holds the lock is still at work in the folder.
    if (::fstat(fd, &lockStat) == 0 && S_ISREG(lockStat.st_mode) && lockStat.st_uid == ::getuid() && lockFile(fd))
      stale.push_back(folder);
    ::close(fd);
  }
  ::closedir(dir);
  int removed = 0;
  for (const fs::path& folder : stale) {
    std::error_code ec;
    fs::remove_all(folder, ec);  // links inside are removed, never followed
    if (!ec) ++removed;
  }
  return removed;
}

int removeStaleStagingFolders() { return removeStaleStagingFolders(tempRootOrEmpty()); }

}  // namespace tessaline
