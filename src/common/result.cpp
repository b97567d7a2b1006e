#include "common/result.h"

#include <cerrno>

namespace tessaline {

ErrorKind errorKindOf(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return ErrorKind::PermissionDenied;
    case ENOENT:
    case ENOTDIR: return ErrorKind::NotFound;
    case ENOSPC:
    case EDQUOT: return ErrorKind::NoSpace;
    default: return ErrorKind::Io;
  }
}

}  // namespace tessaline
