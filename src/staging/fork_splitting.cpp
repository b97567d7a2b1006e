#include "staging/fork_splitting.h"

#include "common/log.h"
#include "staging/tree_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace tessaline {

namespace fs = std::filesystem;

namespace {

void putBigEndian32(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>((value >> 24) & 0xff));
  out.push_back(static_cast<char>((value >> 16) & 0xff));
  out.push_back(static_cast<char>((value >> 8) & 0xff));
  out.push_back(static_cast<char>(value & 0xff));
}

Error errnoError(int err, const std::string& what, const fs::path& path) {
  return makeError(errorKindOf(err), what + " " + path.native() + ": " + std::strerror(err));
}

// Reads one attribute of the entry itself (never through a link).
// Answers 0, ENODATA when it is absent, or another errno.
int readAttribute(const fs::path& path, const char* name, std::string& value) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t length = lgetxattr(path.c_str(), name, nullptr, 0);
    if (length < 0) return (errno == ENOTSUP) ? ENODATA : errno;
    value.resize(static_cast<std::size_t>(length));
    const ssize_t got = lgetxattr(path.c_str(), name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return errno == ENOTSUP ? ENODATA : errno;
  }
  return ERANGE;
}

bool writeAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string appleDoubleBytes(std::span<const std::byte, kFinderInfoLength> finderInfo, std::string_view fork) {
  std::string out;
  out.reserve(kAppleDoubleHeaderLength + fork.size());
  putBigEndian32(out, 0x00051607);    // magic
  putBigEndian32(out, 0x00020000);    // version 2
  out.append(16, '\0');               // filler
  out.push_back('\0');                // two entries
  out.push_back('\2');
  putBigEndian32(out, 9);             // Finder information
  putBigEndian32(out, 50);
  putBigEndian32(out, static_cast<std::uint32_t>(kFinderInfoLength));
  putBigEndian32(out, 2);             // resource fork
  putBigEndian32(out, static_cast<std::uint32_t>(kAppleDoubleHeaderLength));
  putBigEndian32(out, static_cast<std::uint32_t>(fork.size()));
  for (std::byte b : finderInfo) out.push_back(static_cast<char>(b));
  out.append(fork);
  return out;
}

long maxFileNameLengthAt(const fs::path& root) {
  const long limit = pathconf(root.c_str(), _PC_NAME_MAX);
  return limit - 2;  // -3 when pathconf fails
}

bool needsSideFile(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string value;
  if (readAttribute(path, kResourceForkAttribute, value) == 0 && !value.empty()) return true;
  return readAttribute(path, kFinderInfoAttribute, value) == 0 && value.size() == kFinderInfoLength &&
         std::any_of(value.begin(), value.end(), [](char c) { return c != 0; });
}

Status SplitFileIfNeeded(const fs::path& path, long maxFileNameLength, StagingJournal* journal) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errnoError(errno, "cannot read", path);
  if (!S_ISREG(st.st_mode)) return {};

  std::string fork;
  if (const int err = readAttribute(path, kResourceForkAttribute, fork); err != 0) {
    if (err != ENODATA) return errnoError(err, "cannot read the resource fork of", path);
    fork.clear();
  }
  // A fork is at most what one extended attribute holds (64 KiB on Linux), far
  // below the 4 GiB the format's length field can state.
  std::array<std::byte, kFinderInfoLength> finderInfo{};
  std::string info;
  if (const int err = readAttribute(path, kFinderInfoAttribute, info); err == 0) {
    if (info.size() == kFinderInfoLength) {
      std::memcpy(finderInfo.data(), info.data(), kFinderInfoLength);
    } else {
      // Not a Finder information record: writing it, cut or padded, would
      // hand the Finder flags nobody set.
      logLine("ignoring Finder information of " + path.native() + ": " + std::to_string(info.size()) +
              " bytes instead of 32");
    }
  } else if (err != ENODATA) {
    return errnoError(err, "cannot read the Finder information of", path);
  }
  const bool hasInfo = std::any_of(finderInfo.begin(), finderInfo.end(), [](std::byte b) { return b != std::byte{0}; });
  if (fork.empty() && !hasInfo) return {};

  const std::string name = path.filename().native();
  if (name.empty() || static_cast<long>(name.size()) > maxFileNameLength)
    return makeError(ErrorKind::InvalidInput, "name too long for a side file: " + path.native());
  const fs::path side = path.parent_path() / ("._" + name);

  int fd = open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    // An entry of that name (a "._" file copied from the source) is replaced.
    if (unlink(side.c_str()) != 0 && !(errno == EISDIR && rmdir(side.c_str()) == 0))
      return errnoError(errno, "cannot replace", side);
    if (journal != nullptr) journal->remove(side);
    fd = open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (fd < 0) return errnoError(errno, "cannot create", side);

  const std::string bytes = appleDoubleBytes(finderInfo, fork);
  if (!writeAll(fd, bytes)) {
    // A side file whose header states more fork than it holds is damaged: none is better.
    const int err = errno;
    close(fd);
    unlink(side.c_str());
    return errnoError(err, "cannot write", side);
  }
  if (fchown(fd, st.st_uid, st.st_gid) != 0) {
    const int err = errno;
    close(fd);
    if (journal != nullptr) journal->record(side, StagedType::File, bytes.size(), StagingReason::SideFile);
    return errnoError(err, "cannot set the owner of", side);
  }
  const int chmodResult = fchmod(fd, st.st_mode & 0777);
  const int chmodError = errno;
  if (close(fd) != 0) {
    const int err = errno;
    unlink(side.c_str());
    return errnoError(err, "cannot write", side);
  }
  if (journal != nullptr) journal->record(side, StagedType::File, bytes.size(), StagingReason::SideFile);
  if (chmodResult != 0) return errnoError(chmodError, "cannot set the permissions of", side);
  return {};
}

void RkSF::splitPath(const fs::path& root) {
  gMaxFileNameLength = maxFileNameLengthAt(root);
  staging::walkTree(root, [&](const staging::WalkEntry& e) {
    // Only regular files can carry a side file; skip the rest without a look.
    if (!e.info.isRegular()) return;
    splitFile(fs::path(std::string(e.full)));
  });
}

void RkSF::splitFile(const fs::path& path) {
  // One file's failure never stops the walk, but the log tells what the disc lacks.
  const Status status = SplitFileIfNeeded(path, gMaxFileNameLength, journal_);
  if (status) return;
  logLine("the disc lacks the resource fork or Finder information of " + path.native() + ": " + status.error().message);
  // Without its side file the session would pass for a whole copy of the
  // file: the burn refuses it as it refuses a source it cannot read.
  struct stat st {};
  if (journal_ == nullptr || lstat((path.parent_path() / ("._" + path.filename().native())).c_str(), &st) == 0) return;
  const std::size_t nameBytes = path.filename().native().size();
  const std::string why =
      static_cast<long>(nameBytes) > gMaxFileNameLength
          ? "its resource fork or Finder information needs a side file named \"._\" and its name, which would be " +
                std::to_string(nameBytes + 2) + " bytes long, over the limit of " +
                std::to_string(gMaxFileNameLength + 2) +
                ". Rename it, or turn on \"disableSplitForks\" to burn the file without them."
          : "its resource fork or Finder information cannot go on the disc: " + status.error().message;
  journal_->noteUnreadable(path.lexically_relative(journal_->stagingRoot()).native(), why);
}

void splitForksAtPath(const fs::path& stagingRoot, StagingJournal* journal) {
  logLine("creating resourceforkfiles...");
  RkSF splitter(journal);
  splitter.splitPath(stagingRoot);
}

}  // namespace tessaline
