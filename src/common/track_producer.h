#pragma once
// The data source of a burn's track, shared by what produces a session's
// bytes and the writers that record them. The service calls it on its own
// thread: prepareTrack once, produceData until the track is complete (and
// again from the start for verification), cleanupTrack once.

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/result.h"

namespace tessaline {

class TrackProducer {
 public:
  virtual ~TrackProducer() = default;
  virtual Status prepareTrack() = 0;
  // Fills the front of the buffer and answers how many bytes it placed there.
  virtual Result<std::uint32_t> produceData(std::span<std::byte> buffer) = 0;
  virtual void cleanupTrack() = 0;
};

}  // namespace tessaline
