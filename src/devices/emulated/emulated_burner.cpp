#include "devices/emulated/emulated_burner.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace tessaline::emulated {

namespace {

std::string errnoText() { return std::strerror(errno); }

constexpr std::size_t kChunkBytes = 1 << 20;

bool cancelled(const WriteControl& c) { return c.cancel != nullptr && c.cancel->load(); }

void report(const WriteControl& c, std::int64_t done, std::int64_t total) {
  if (c.progress && total > 0) c.progress(100.0 * static_cast<double>(done) / static_cast<double>(total));
}

// Chunk size: small when throttled so that progress moves smoothly.
std::size_t chunkFor(const WriteControl& c) {
  if (!c.bytesPerSecond) return kChunkBytes;
  const auto tenth = static_cast<std::size_t>(*c.bytesPerSecond / 10.0);
  return std::clamp<std::size_t>(tenth - tenth % kBlockBytes, kBlockBytes, kChunkBytes);
}

class Pacer {
 public:
  explicit Pacer(std::optional<double> rate) : rate_(rate), start_(std::chrono::steady_clock::now()) {}
  void after(std::int64_t bytesDone) const {
    if (!rate_ || *rate_ <= 0) return;
    const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(bytesDone) / *rate_));
    std::this_thread::sleep_until(due);
  }

 private:
  std::optional<double> rate_;
  std::chrono::steady_clock::time_point start_;
};

Status pwriteAll(int fd, const std::byte* data, std::size_t size, std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return makeError(errno == ENOSPC ? ErrorKind::NoSpace : ErrorKind::WriteFailed,
                       "cannot write block " + std::to_string((offset + static_cast<std::int64_t>(done)) / kBlockBytes) +
                           " of the medium: " + errnoText());
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// Zeros from `from` to `to` (byte offsets): holes where the file system can
// punch them, written zeros otherwise.
Status clearRange(int fd, std::int64_t from, std::int64_t to) {
  if (to <= from) return {};
  if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(to - from)) == 0)
    return {};
  std::vector<std::byte> zeros(kChunkBytes);
  for (std::int64_t at = from; at < to;) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(to - at, static_cast<std::int64_t>(zeros.size())));
    if (Status s = pwriteAll(fd, zeros.data(), n, at); !s) return s;
    at += static_cast<std::int64_t>(n);
  }
  return {};
}

Result<int> openMedium(const WriterPaths& paths, int flags) {
  const int fd = ::open(paths.mediumFile().c_str(), flags | O_CLOEXEC);
  if (fd < 0)
    return makeError(errno == ENOENT ? ErrorKind::NotFound : ErrorKind::Io,
                     "cannot open the medium file of writer '" + paths.name + "': " + errnoText());
  return fd;
}

}  // namespace

std::optional<double> throttleRate(std::optional<float> requestedKBps) {
  const char* env = std::getenv("TESSALINE_EMULATED_SPEED");
  if (env == nullptr || std::string(env) != "1") return std::nullopt;
  if (requestedKBps && *requestedKBps > 0) return static_cast<double>(*requestedKBps) * 1024.0;
  return 8.0 * 150.0 * 1024.0;
}

Result<Disc> checkCanAppend(const WriterPaths& paths, const Toc& toc, BlockCount length) {
  const std::string writer = "writer '" + paths.name + "'";
  if (!toc.disc) return makeError(ErrorKind::NoMedium, "there is no disc in " + writer);
  if (toc.trayOpen) return makeError(ErrorKind::NoMedium, "the tray of " + writer + " is open");
  const Disc& disc = *toc.disc;
  if (!disc.writable())
    return makeError(ErrorKind::MediumNotWritable, "the " + mediumKindText(disc.kind) + " in " + writer +
                                                       " cannot be written (only CD-R and CD-RW can)");
  if (disc.closed) return makeError(ErrorKind::MediumNotWritable, "the disc in " + writer + " is closed");
  if (length.value <= 0) return makeError(ErrorKind::InvalidInput, "a track must hold at least one block");
  if (sessionFootprint(length) > disc.freeBlocks())
    return makeError(ErrorKind::NoSpace, "a session of " + std::to_string(length.value) + " blocks needs " +
                                             std::to_string(sessionFootprint(length).value) + " blocks, but the disc in " +
                                             writer + " has only " + std::to_string(disc.freeBlocks().value) + " free");
  if (Status s = checkMediumFile(paths, disc); !s) return s.error();
  return disc;
}

Result<TrackWriter> TrackWriter::start(int mediumFd, const Disc& disc) {
  TrackWriter w;
  w.fd_ = mediumFd;
  w.disc_ = disc;
  w.start_ = disc.nextWritable();
  // The file spans the whole disc; what lies past the next writable address
  // (a burn that was cut short) is cleared before writing.
  const std::int64_t size = std::max(disc.capacity.bytes(), (w.start_ + kMinTrackLength + kRunOutBlocks).byteOffset());
  if (::ftruncate(mediumFd, static_cast<off_t>(size)) != 0)
    return makeError(ErrorKind::Io, std::string("cannot size the medium file: ") + errnoText());
  if (Status s = clearRange(mediumFd, w.start_.byteOffset(), disc.capacity.bytes()); !s) return s.error();
  return w;
}

Status TrackWriter::append(std::span<const std::byte> data) {
  const std::int64_t end = start_.byteOffset() + written_ + static_cast<std::int64_t>(data.size());
  if (BlockAddress{0} + BlockCount::fromBytesRoundedUp(end) + kRunOutBlocks > BlockAddress{disc_.capacity.value})
    return makeError(ErrorKind::NoSpace, "the track runs past the end of the disc");
  if (Status s = pwriteAll(fd_, data.data(), data.size(), start_.byteOffset() + written_); !s) return s;
  written_ += static_cast<std::int64_t>(data.size());
  return {};
}

Disc TrackWriter::finished(bool close) const {
  Disc next = disc_;
  next.tracks.push_back(TrackRecord{start_, paddedTrackLength(BlockCount::fromBytesRoundedUp(written_))});
  next.closed = close;
  return next;
}

Result<Disc> writeTrackData(int fd, const Disc& disc, BlockCount length, bool close, const ChunkSource& source,
                            const WriteControl& control) {
  auto writer = TrackWriter::start(fd, disc);
  if (!writer) return writer.error();
  TrackWriter& w = writer.value();
  const std::int64_t total = length.bytes();
  std::vector<std::byte> buffer(chunkFor(control));
  const Pacer pacer(control.bytesPerSecond);
  report(control, 0, total);
  while (w.bytesWritten() < total) {
    const std::int64_t done = w.bytesWritten();
    if (cancelled(control)) return makeError(ErrorKind::Cancelled, "the burn was cancelled");
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(total - done, static_cast<std::int64_t>(buffer.size())));
    auto got = source(std::span<std::byte>(buffer.data(), want));
    if (!got) return got.error();
    if (got.value() == 0)
      return makeError(ErrorKind::WriteFailed, "the data ran out after " + std::to_string(done / kBlockBytes) + " of " +
                                                   std::to_string(length.value) + " blocks");
    if (got.value() > want) return makeError(ErrorKind::Internal, "the data source overfilled its buffer");
    if (Status s = w.append(std::span<const std::byte>(buffer.data(), got.value())); !s) {
      if (s.error().kind == ErrorKind::NoSpace) return s.error();
      return makeError(ErrorKind::WriteFailed, s.error().message);
    }
    pacer.after(w.bytesWritten());
    report(control, w.bytesWritten(), total);
  }
  Disc next = w.finished(close);
  // The track is as long as asked, whatever the source's last chunk held.
  next.tracks.back().length = paddedTrackLength(length);
  return next;
}

Result<TrackRecord> commitTrack(const WriterPaths& paths, int mediumFd, Toc toc, const Disc& withTrack) {
  if (::fdatasync(mediumFd) != 0)
    return makeError(ErrorKind::WriteFailed, "cannot flush the medium of writer '" + paths.name + "': " + errnoText());
  // The data is on disk: only now does the table of contents name the track.
  toc.disc = withTrack;
  if (Status s = writeToc(paths, toc); !s) return s.error();
  return withTrack.tracks.back();
}

Result<TrackRecord> writeSession(const WriterPaths& paths, BlockCount length, bool close, const ChunkSource& source,
                                 const WriteControl& control) {
  auto toc = readToc(paths);
  if (!toc) return toc.error();
  auto disc = checkCanAppend(paths, toc.value(), length);
  if (!disc) return disc.error();
  auto fd = openMedium(paths, O_RDWR);
  if (!fd) return fd.error();
  auto written = writeTrackData(fd.value(), disc.value(), length, close, source, control);
  Result<TrackRecord> track = written ? commitTrack(paths, fd.value(), toc.value(), written.value())
                                      : Result<TrackRecord>(written.error());
  ::close(fd.value());
  return track;
}

Status verifySession(const WriterPaths& paths, TrackRecord track, BlockCount length, const ChunkSource& source,
                     const WriteControl& control) {
  auto fd = openMedium(paths, O_RDONLY);
  if (!fd) return fd.error();
  std::vector<std::byte> expected(chunkFor(control));
  std::vector<std::byte> actual(expected.size());
  const std::int64_t total = length.bytes();
  const std::int64_t base = track.start.byteOffset();
  std::int64_t done = 0;
  Status status;
  const Pacer pacer(control.bytesPerSecond);
  report(control, 0, total);
  while (status && done < total) {
    if (cancelled(control)) {
      status = makeError(ErrorKind::Cancelled, "the verification was cancelled");
      break;
    }
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(total - done, static_cast<std::int64_t>(expected.size())));
    auto got = source(std::span<std::byte>(expected.data(), want));
    if (!got) {
      status = got.error();
      break;
    }
    if (got.value() == 0 || got.value() > want) {
      status = makeError(ErrorKind::VerifyMismatch, "the data produced for verification ended after block " +
                                                        std::to_string(done / kBlockBytes) + " of " +
                                                        std::to_string(length.value));
      break;
    }
    const std::size_t n = got.value();
    std::size_t have = 0;
    while (have < n) {
      const ssize_t r = ::pread(fd.value(), actual.data() + have, n - have, static_cast<off_t>(base + done) + static_cast<off_t>(have));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      have += static_cast<std::size_t>(r);
    }
    if (have < n) {
      status = makeError(ErrorKind::Io, "cannot read back block " + std::to_string((base + done + static_cast<std::int64_t>(have)) / kBlockBytes));
      break;
    }
    if (std::memcmp(expected.data(), actual.data(), n) != 0) {
      std::size_t at = 0;
      while (at < n && expected[at] == actual[at]) ++at;
      status = makeError(ErrorKind::VerifyMismatch,
                         "verification failed: block " + std::to_string((base + done + static_cast<std::int64_t>(at)) / kBlockBytes) +
                             " of the disc differs from the data produced for it");
      break;
    }
    done += static_cast<std::int64_t>(n);
    pacer.after(done);
    report(control, done, total);
  }
  ::close(fd.value());
  return status;
}

Status eraseDisc(const WriterPaths& paths, const WriteControl& control) {
  auto toc = readToc(paths);
  if (!toc) return toc.error();
  const std::string writer = "writer '" + paths.name + "'";
  if (!toc.value().disc) return makeError(ErrorKind::NoMedium, "there is no disc in " + writer);
  if (toc.value().trayOpen) return makeError(ErrorKind::NoMedium, "the tray of " + writer + " is open");
  Disc disc = *toc.value().disc;
  if (disc.kind != MediumKind::CDRW)
    return makeError(ErrorKind::MediumNotWritable,
                     "the " + mediumKindText(disc.kind) + " in " + writer + " cannot be erased (only a CD-RW can)");
  report(control, 0, 1);
  // Blank first in the table of contents: an erase cut short leaves a blank
  // disc whose stale data the next burn clears.
  disc.tracks.clear();
  disc.closed = false;
  Toc next = toc.value();
  next.disc = disc;
  if (Status s = writeToc(paths, next); !s) return s;
  auto fd = openMedium(paths, O_RDWR | O_CREAT);
  if (!fd) return fd.error();
  Status status;
  if (::ftruncate(fd.value(), 0) != 0 || ::ftruncate(fd.value(), static_cast<off_t>(disc.capacity.bytes())) != 0)
    status = makeError(ErrorKind::Io, "cannot blank the medium file of " + writer + ": " + errnoText());
  ::close(fd.value());
  if (control.bytesPerSecond) {
    // A demo erase takes a little while, as a quick erase does.
    for (int i = 1; i <= 20 && !cancelled(control); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      report(control, i, 20);
    }
  }
  report(control, 1, 1);
  return status;
}

Result<ImageFileSource> ImageFileSource::open(const fs::path& image) {
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return makeError(errno == ENOENT ? ErrorKind::NotFound : ErrorKind::Io, "cannot open " + image.string() + ": " + errnoText());
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return makeError(ErrorKind::InvalidInput, image.string() + " is not a regular file");
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return ImageFileSource(fd, st.st_size);
}

ImageFileSource::ImageFileSource(ImageFileSource&& other) noexcept
    : fd_(other.fd_), size_(other.size_), position_(other.position_) {
  other.fd_ = -1;
}

ImageFileSource::~ImageFileSource() {
  if (fd_ >= 0) ::close(fd_);
}

ChunkSource ImageFileSource::source() {
  return [this](std::span<std::byte> buffer) -> Result<std::uint32_t> {
    const std::int64_t end = length().bytes();  // a part block is padded with zeros
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(end - position_, static_cast<std::int64_t>(buffer.size())));
    std::size_t have = 0;
    while (have < want && position_ + static_cast<std::int64_t>(have) < size_) {
      const ssize_t n = ::pread(fd_, buffer.data() + have, want - have, static_cast<off_t>(position_) + static_cast<off_t>(have));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return makeError(ErrorKind::Io, std::string("cannot read the image: ") + errnoText());
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    if (have < want) std::memset(buffer.data() + have, 0, want - have);
    position_ += static_cast<std::int64_t>(want);
    return static_cast<std::uint32_t>(want);
  };
}

}  // namespace tessaline::emulated
