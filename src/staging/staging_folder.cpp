#include "staging/staging_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// 1 January 2001 00:00:00 UTC in Unix time.
constexpr std::int64_t kReferenceDateUnix = 978307200;

ErrorKind kindOf(int err) {
  if (err == EACCES || err == EPERM || err == EROFS) return ErrorKind::PermissionDenied;
  if (err == ENOENT || err == ENOTDIR) return ErrorKind::NotFound;
  if (err == ENOSPC || err == EDQUOT) return ErrorKind::NoSpace;
  return ErrorKind::Io;
}

Status removeTree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return makeError(kindOf(ec.value()), "cannot remove " + path.native() + ": " + ec.message());
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
    return makeError(kindOf(err), "cannot make a private staging folder in " + tempRoot.native() + ": " +
                                      std::strerror(err));
  }
  StagingFolder folder;
  folder.privateRoot = buffer.data();
  chmod(folder.privateRoot.c_str(), 0700);
  folder.stagingPath = folder.privateRoot / std::to_string(secondsSinceReferenceDate());
  folder.imagePath = folder.stagingPath;
  folder.imagePath += ".iso";
  if (mkdir(folder.stagingPath.c_str(), 0777) != 0) {
    const int err = errno;
    rmdir(folder.privateRoot.c_str());
    return makeError(kindOf(err), "cannot make the staging folder " + folder.stagingPath.native() + ": " +
                                      std::strerror(err));
  }
  return folder;
}

Result<StagingFolder> createStagingFolder() {
  std::error_code ec;
  const fs::path tempRoot = fs::temp_directory_path(ec);
  if (ec) return makeError(kindOf(ec.value()), "no usable temp folder: " + ec.message());
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

}  // namespace tessaline
