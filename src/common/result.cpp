#include "common/result.h"

namespace tessaline {

const char* errorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound: return "not found";
    case ErrorKind::PermissionDenied: return "permission denied";
    case ErrorKind::Busy: return "busy";
    case ErrorKind::NoMedium: return "no medium";
    case ErrorKind::MediumNotWritable: return "medium not writable";
    case ErrorKind::NoSpace: return "no space";
    case ErrorKind::InvalidInput: return "invalid input";
    case ErrorKind::Io: return "input/output error";
    case ErrorKind::WriteFailed: return "write failed";
    case ErrorKind::VerifyMismatch: return "verification mismatch";
    case ErrorKind::ToolFailed: return "tool failed";
    case ErrorKind::Cancelled: return "cancelled";
    case ErrorKind::TimedOut: return "timed out";
    case ErrorKind::Internal: return "internal error";
  }
  return "error";
}

}  // namespace tessaline
