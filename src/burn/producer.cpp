#include "burn/producer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// O_DIRECT wants buffer, offset and length aligned to the device's logical
// block; a page is a multiple of every logical block size in use.
constexpr std::size_t kDirectAlignment = 4096;
// Page-cache advice is given in stretches of this size, not on every call.
constexpr std::int64_t kDropStretch = 4 * 1024 * 1024;
// The most one call can hand out (its answer is a 32-bit count): whole blocks.
constexpr std::size_t kMaxCall = 0xFFFFF800u;

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

Error openError(int err, const fs::path& path) {
  const std::string what = "cannot open the session image " + path.string() + ": " + std::strerror(err);
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return makeError(ErrorKind::NotFound, what);
    case EACCES:
    case EPERM:
      return makeError(ErrorKind::PermissionDenied, what);
    case ELOOP:
      return makeError(ErrorKind::InvalidInput, what + " (a symbolic link)");
    default:
      return makeError(ErrorKind::Io, what);
  }
}

}  // namespace

Producer::~Producer() {
  closeFile();
  std::free(bounce_);
}

void Producer::setFilePath(const fs::path& path) {
  const std::lock_guard lock(mutex_);
  filePath_ = path;
}

BlockCount Producer::fileSize() const {
  const std::lock_guard lock(mutex_);
  struct stat st {};
  if (filePath_.empty() || ::lstat(filePath_.c_str(), &st) != 0 || st.st_size < 0) return BlockCount{0};
  return BlockCount::fromBytesRoundedDown(static_cast<std::int64_t>(st.st_size));
}

bool Producer::readsDirectly() const {
  const std::lock_guard lock(mutex_);
  return direct_;
}

Status Producer::prepareTrack() {
  const std::lock_guard lock(mutex_);
  closeFile();
  if (filePath_.empty()) return makeError(ErrorKind::InvalidInput, "no session image was given");

  // The image itself, never a link: fileSize() measures the file at this path.
  // O_NONBLOCK keeps a FIFO in its place from hanging the burn.
  const int fd = ::open(filePath_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return openError(errno, filePath_);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return makeError(ErrorKind::InvalidInput, "the session image " + filePath_.string() + " is not a regular file");
  }
  file_ = fd;
  FileSize = static_cast<std::int64_t>(st.st_size);
  FilePosition = 0;
  droppedUpTo_ = 0;
  direct_ = false;

  const int flags = ::fcntl(fd, F_GETFL);
  if (bypass_ == CacheBypass::DirectIo && ::fcntl(fd, F_SETFL, (flags & ~O_NONBLOCK) | O_DIRECT) == 0) {
    direct_ = true;
  } else {
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (bypass_ == CacheBypass::DirectIo) {
      closeFile();
      return makeError(ErrorKind::Io, "the file system of " + filePath_.string() + " does not take O_DIRECT");
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  return {};
}

Result<std::uint32_t> Producer::produceData(std::span<std::byte> buffer) {
  const std::lock_guard lock(mutex_);
  if (file_ < 0) return makeError(ErrorKind::Internal, "the track was not prepared");

  if (FilePosition == FileSize) {
    // Everything has been handed out (or the image is empty): the next pass
    // (verification) starts again at the beginning.
    FilePosition = 0;
    dropCachedUpTo(FileSize, true);
  }
  const auto remaining = static_cast<std::uint64_t>(FileSize - FilePosition);
  const std::size_t length =
      static_cast<std::size_t>(std::min<std::uint64_t>({buffer.size(), remaining, std::uint64_t{kMaxCall}}));
  if (length == 0) return std::uint32_t{0};

  auto read = readAt(buffer.data(), length, FilePosition);
  if (!read.ok()) return read.error();
  if (read.value() != length) {
    return makeError(ErrorKind::Io, "the session image " + filePath_.string() + " ended at byte " +
                                        std::to_string(FilePosition + static_cast<std::int64_t>(read.value())) +
                                        " although it held " + std::to_string(FileSize) +
                                        " bytes when the burn started");
  }
  FilePosition += static_cast<std::int64_t>(length);
  dropCachedUpTo(FilePosition, false);
  return static_cast<std::uint32_t>(length);
}

void Producer::cleanupTrack() {
  const std::lock_guard lock(mutex_);
  closeFile();
}

// Reads up to length bytes at offset; fewer only at the end of the file.
Result<std::size_t> Producer::readAt(std::byte* out, std::size_t length, std::int64_t offset) {
  if (direct_ && static_cast<std::size_t>(offset) % kDirectAlignment == 0) {
    const std::size_t want = roundUp(length, kDirectAlignment);
    if (bounceSize_ < want) {
      std::free(bounce_);
      bounce_ = static_cast<std::byte*>(std::aligned_alloc(kDirectAlignment, want));
      bounceSize_ = bounce_ != nullptr ? want : 0;
    }
    if (bounce_ != nullptr) {
      ssize_t n = 0;
      do {
        n = ::pread(file_, bounce_, want, static_cast<off_t>(offset));
      } while (n < 0 && errno == EINTR);
      if (n >= 0) {
        // A direct read comes back short only at the end of the file.
        const std::size_t got = std::min(static_cast<std::size_t>(n), length);
        std::memcpy(out, bounce_, got);
        return got;
      }
      if (errno != EINVAL) {
        return makeError(ErrorKind::Io, "cannot read the session image " + filePath_.string() + ": " +
                                            std::strerror(errno));
      }
    }
  }
  if (direct_) {
    // An unaligned request (or a refused direct read): read through the page
    // cache from here on, dropping behind.
    const int flags = ::fcntl(file_, F_GETFL);
    ::fcntl(file_, F_SETFL, flags & ~O_DIRECT);
    direct_ = false;
    droppedUpTo_ = 0;
    ::posix_fadvise(file_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(file_, out + got, length - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      return makeError(ErrorKind::Io, "cannot read the session image " + filePath_.string() + ": " +
                                          std::strerror(errno));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

void Producer::dropCachedUpTo(std::int64_t offset, bool all) {
  if (direct_ || file_ < 0) return;
  if (all) {
    ::posix_fadvise(file_, 0, 0, POSIX_FADV_DONTNEED);
    droppedUpTo_ = 0;
    return;
  }
  if (offset - droppedUpTo_ < kDropStretch) return;
  // Whole pages only: the page that holds the next byte stays until later.
  const std::int64_t end = offset / static_cast<std::int64_t>(kDirectAlignment) *
                           static_cast<std::int64_t>(kDirectAlignment);
  ::posix_fadvise(file_, static_cast<off_t>(droppedUpTo_), static_cast<off_t>(end - droppedUpTo_),
                  POSIX_FADV_DONTNEED);
  droppedUpTo_ = end;
}

void Producer::closeFile() {
  if (file_ < 0) return;
  if (!direct_) ::posix_fadvise(file_, 0, 0, POSIX_FADV_DONTNEED);
  ::close(file_);
  file_ = -1;
  direct_ = false;
}

}  // namespace tessaline
