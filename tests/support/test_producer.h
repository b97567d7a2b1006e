#pragma once
// The track data the writers' tests burn, on the emulated writer and on
// libburn's pseudo-drive alike, and running a burn job to its end.

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "devices/disc_recording_service.h"
#include "support/test_support.h"

namespace tessaline::test {

// Blocks that differ from each other (a misplaced block shows), handed out
// again from the front after the last byte (the verification pass). Can be
// told to fail, to run dry, to wait, or to hand out other bytes on its second pass.
class TestProducer : public TrackProducer {
 public:
  explicit TestProducer(std::int64_t blocks) : data_(static_cast<std::size_t>(blocks * kBlockBytes), '\0') {
    for (std::size_t i = 0; i < data_.size(); ++i) data_[i] = static_cast<char>(i * 7 + i / kBlockBytes);
  }
  const std::string& bytes() const { return data_; }
  TrackProperties track() const {
    TrackProperties t;
    t.length = BlockCount::fromBytesRoundedDown(static_cast<std::int64_t>(data_.size()));
    return t;
  }

  Status prepareTrack() override { return prepareError ? Status{*prepareError} : Status{}; }
  Result<std::uint32_t> produceData(std::span<std::byte> buffer) override {
    if (dryAfter && pos_ >= *dryAfter) return 0u;
    if (pos_ == data_.size()) pos_ = 0, ++passes;
    const std::size_t n = std::min(buffer.size(), data_.size() - pos_);
    if (failAt && pos_ + n > *failAt) return makeError(ErrorKind::Io, "the session image could not be read");
    while (holdAt && passes == holdPass && pos_ >= *holdAt && !released) {
      held = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::memcpy(buffer.data(), data_.data() + pos_, n);
    if (passes > 0 && changeAt && *changeAt >= pos_ && *changeAt < pos_ + n) buffer[*changeAt - pos_] ^= std::byte{0x5a};
    pos_ += n;
    return static_cast<std::uint32_t>(n);
  }
  void cleanupTrack() override { ++cleanedUp; }

  std::atomic<int> cleanedUp{0}, passes{0};  // passes: rewinds seen
  std::optional<Error> prepareError;
  std::optional<std::size_t> failAt;    // fails once a read would reach this byte
  std::optional<std::size_t> dryAfter;  // hands out nothing from this byte on
  std::optional<std::size_t> holdAt;    // waits at this byte, on pass holdPass, until released
  int holdPass = 0;                     // 0: while writing, 1: while reading back
  std::optional<std::size_t> changeAt;  // this byte differs on the second pass
  std::atomic<bool> held{false}, released{false};

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

// Runs the event loop until the job has finished (once); answers its status.
inline JobStatus finish(Result<std::unique_ptr<Job>> job) {
  if (!job) return JobStatus{JobPhase::Failed, 0.0, job.error()};
  QSignalSpy spy(job.value().get(), &Job::finished);
  EXPECT_TRUE(waitUntil([&] { return spy.count() > 0; }, std::chrono::seconds(120)));
  EXPECT_EQ(spy.count(), 1);
  return job.value()->status();
}

}  // namespace tessaline::test
