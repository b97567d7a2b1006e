#pragma once
// The data source of a burn's single track: streams the session image in
// order into the service's buffers, and from the start again once the whole
// image has been handed out (the verification pass produces it a second time).
// The image is read without leaving it in the page cache: through the cache
// with POSIX_FADV_SEQUENTIAL (full readahead) and POSIX_FADV_DONTNEED on what
// has been handed out. O_DIRECT is available but not the default: it reads
// synchronously without readahead and ignores an image that is still cached
// from the build, and measured far slower (bench/bench_producer.cpp).
//
// The service calls prepareTrack, produceData and cleanupTrack on its worker
// thread, one call at a time; the pipeline calls setFilePath and fileSize on
// the main thread before that. A mutex keeps the two apart.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>

#include "common/result.h"
#include "common/units.h"
#include "common/track_producer.h"

namespace tessaline {

class Producer : public TrackProducer {
 public:
  enum class CacheBypass {
    Automatic,  // the fastest way that leaves nothing cached: advice
    Advice,     // page cache with sequential and drop-behind advice
    DirectIo,   // O_DIRECT; prepare fails where the file system refuses it
  };

  Producer() = default;
  explicit Producer(CacheBypass bypass) : bypass_(bypass) {}
  ~Producer() override;
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  void setFilePath(const std::filesystem::path& path);
  // The image's size now, in whole blocks (a part block is not counted);
  // 0 when the file cannot be examined. The file itself, not a link, counts.
  BlockCount fileSize() const;

  // Opens the image. A missing, unreadable or irregular image is an error,
  // so the service stops the burn before writing anything.
  Status prepareTrack() override;
  // Fills the front of the buffer with the next bytes of the image (one read
  // of at most the buffer's length). Once the whole image has been handed out
  // the next call starts again at byte 0. An image that yields fewer bytes
  // than it had at prepare time is an Io error: no byte that was not read is
  // ever handed out.
  Result<std::uint32_t> produceData(std::span<std::byte> buffer) override;
  void cleanupTrack() override;

  // True after prepare when the image is read with O_DIRECT.
  bool readsDirectly() const;

 private:
  Result<std::size_t> readAt(std::byte* out, std::size_t length, std::int64_t offset);
  void dropCachedUpTo(std::int64_t offset, bool all);
  void closeFile();

  mutable std::mutex mutex_;
  CacheBypass bypass_ = CacheBypass::Automatic;
  int file_ = -1;
  std::int64_t FileSize = 0;
  std::int64_t FilePosition = 0;
  std::filesystem::path filePath_;
  bool direct_ = false;
  std::byte* bounce_ = nullptr;  // aligned buffer for O_DIRECT reads
  std::size_t bounceSize_ = 0;
  std::int64_t droppedUpTo_ = 0;  // page-cache advice: bytes before this were dropped
};

}  // namespace tessaline
