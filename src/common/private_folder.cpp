#include "common/private_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tessaline {

Status ensurePrivateFolder(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    const int err = errno;
    return makeError(errorKindOf(err), "cannot create " + path.string() + ": " + std::strerror(err));
  }
  // Checked and tightened through one descriptor, so that what is checked is
  // what is changed.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    return makeError(ErrorKind::PermissionDenied, path.string() + " is not a folder of this user (" + std::strerror(err) + ")");
  }
  Status status;
  if (st.st_uid != ::geteuid()) {
    status = makeError(ErrorKind::PermissionDenied, path.string() + " belongs to another user (uid " +
                                                        std::to_string(st.st_uid) + "); it is not used");
  } else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
    status = makeError(ErrorKind::PermissionDenied, "cannot make " + path.string() + " private: " + std::strerror(errno));
  }
  ::close(fd);
  return status;
}

}  // namespace tessaline
