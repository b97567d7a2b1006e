#pragma once
// Writing, verifying and erasing the emulated disc. The caller holds the
// writer's exclusive access; these run on whatever thread calls them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "common/result.h"
#include "common/units.h"
#include "devices/emulated/emulated_medium.h"

namespace tessaline::emulated {

// Hands out the track's bytes in order: fills the front of the buffer and
// answers how many bytes it placed there.
using ChunkSource = std::function<Result<std::uint32_t>(std::span<std::byte>)>;

struct WriteControl {
  std::optional<double> bytesPerSecond;     // no value: as fast as the disk goes
  const std::atomic<bool>* cancel = nullptr;
  std::function<void(double percent)> progress;
};

// The write rate: with TESSALINE_EMULATED_SPEED=1 the requested speed (or 8x
// CD speed when none is requested), otherwise unthrottled.
std::optional<double> throttleRate(std::optional<float> requestedKBps);

// Why a disc cannot take a session of `length` blocks (typed), or the disc.
Result<Disc> checkCanAppend(const WriterPaths& paths, const Toc& toc, BlockCount length);

// One track being written into the open medium file, in order, from the
// disc's next writable address. The emulated writer feeds it from a burn's
// data source; the simulated drive of the tests from WRITE commands.
class TrackWriter {
 public:
  // Sizes the medium file to span the whole disc and clears what lies past
  // the next writable address (left by a burn that was cut short).
  static Result<TrackWriter> start(int mediumFd, const Disc& disc);
  TrackWriter() = default;

  BlockAddress start() const { return start_; }
  // The block the next bytes land in.
  BlockAddress nextBlock() const { return start_ + BlockCount::fromBytesRoundedUp(written_); }
  std::int64_t bytesWritten() const { return written_; }
  // Blocks the disc still has from the next block on, run-out included.
  BlockCount room() const { return BlockAddress{disc_.capacity.value} - nextBlock(); }
  // Writes the bytes after those already written; refused when the track
  // and its run-out would not fit on the disc.
  Status append(std::span<const std::byte> data);
  // The disc with the track added, padded to the minimum track length.
  Disc finished(bool close) const;

 private:
  int fd_ = -1;
  Disc disc_;
  BlockAddress start_;
  std::int64_t written_ = 0;
};

// Writes one track of `length` blocks at the disc's next writable address of
// the open medium file and answers the disc with the track added. Only the
// data is written; the table of contents is the caller's.
Result<Disc> writeTrackData(int mediumFd, const Disc& disc, BlockCount length, bool close, const ChunkSource& source,
                            const WriteControl& control);

// Records a written track: syncs the medium file, then replaces the table of
// contents (based on `toc`) with one whose disc is `withTrack`. Answers the
// new track.
Result<TrackRecord> commitTrack(const WriterPaths& paths, int mediumFd, Toc toc, const Disc& withTrack);

// One session: checks, writes the data, syncs it, then records the track in
// the table of contents. An interruption at any moment leaves the table of
// contents as it was, or with the new track complete on disk.
Result<TrackRecord> writeSession(const WriterPaths& paths, BlockCount length, bool close, const ChunkSource& source,
                                 const WriteControl& control);

// Reads the first `length` blocks of the track back and compares them with
// what the source yields; a difference names the first block that differs.
Status verifySession(const WriterPaths& paths, TrackRecord track, BlockCount length, const ChunkSource& source,
                     const WriteControl& control);

// Blanks a CD-RW: empty table of contents, medium data dropped.
Status eraseDisc(const WriterPaths& paths, const WriteControl& control);

// A source that reads an image file from its start.
class ImageFileSource {
 public:
  static Result<ImageFileSource> open(const fs::path& image);
  ImageFileSource(ImageFileSource&& other) noexcept;
  ImageFileSource& operator=(ImageFileSource&&) = delete;
  ImageFileSource(const ImageFileSource&) = delete;
  ~ImageFileSource();
  // The image's length in blocks, a part block counting as a whole (padded with zeros).
  BlockCount length() const { return BlockCount::fromBytesRoundedUp(size_); }
  ChunkSource source();

 private:
  ImageFileSource(int fd, std::int64_t size) : fd_(fd), size_(size) {}
  int fd_ = -1;
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
};

}  // namespace tessaline::emulated
