// The write path of the real-drive backend, run against libburn's stdio
// pseudo-drive on a regular file: our burn_source feeding libburn from a
// producer, progress, verification by reading back, cancellation, failures.

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include "devices/libburn/burn_library.h"
#include "devices/libburn/libburn_service.h"
#include "support/test_support.h"

namespace tessaline::libburn {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Streams a file, and starts again from the beginning after the last byte
// has been handed out (the second pass serves verification).
class FileProducer : public TrackProducer {
 public:
  explicit FileProducer(fs::path path) : path_(std::move(path)) {}
  Status prepareTrack() override {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return makeError(ErrorKind::NotFound, "cannot open " + path_.string());
    size_ = static_cast<std::int64_t>(fs::file_size(path_));
    ++prepared;
    return {};
  }
  Result<std::uint32_t> produceData(std::span<std::byte> buffer) override {
    if (dryAfter && position_ >= *dryAfter) return 0u;
    if (position_ == size_) {
      position_ = 0;
      ::lseek(fd_, 0, SEEK_SET);
      ++passes;
    }
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(buffer.size(), size_ - position_));
    if (auto hook = beforeRead(position_, want); !hook.ok()) return hook.error();
    const ssize_t got = ::read(fd_, buffer.data(), want);
    if (got < 0) return makeError(ErrorKind::Io, "read failed");
    afterRead(position_, buffer.first(static_cast<std::size_t>(got)));
    position_ += got;
    return static_cast<std::uint32_t>(got);
  }
  void cleanupTrack() override {
    ::close(fd_);
    fd_ = -1;
    ++cleanedUp;
  }

  std::atomic<int> prepared{0};
  std::atomic<int> cleanedUp{0};
  std::atomic<int> passes{0};  // rewinds seen
  std::optional<std::int64_t> dryAfter;  // hands out nothing from this byte on

 protected:
  virtual Status beforeRead(std::int64_t, std::size_t) { return {}; }
  virtual void afterRead(std::int64_t, std::span<std::byte>) {}
  int currentPass() const { return passes.load(); }

 private:
  fs::path path_;
  int fd_ = -1;
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
};

// Writes an image whose every block carries its number, so a misplaced
// block shows; the rest stays sparse to keep large images cheap.
void makeImage(const fs::path& path, std::int64_t blocks) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, blocks * kBlockBytes), 0);
  constexpr std::int64_t kGroup = 512;  // blocks stamped per write
  std::vector<char> chunk(static_cast<std::size_t>(kGroup * kBlockBytes), 0);
  for (std::int64_t first = 0; first < blocks; first += kGroup) {
    const std::int64_t n = std::min(kGroup, blocks - first);
    for (std::int64_t i = 0; i < n; ++i) {
      char* block = chunk.data() + i * kBlockBytes;
      std::snprintf(block, 32, "block %lld", static_cast<long long>(first + i));
      block[2047] = static_cast<char>((first + i) * 7);
    }
    ASSERT_EQ(::pwrite(fd, chunk.data(), static_cast<std::size_t>(n * kBlockBytes), first * kBlockBytes),
              n * kBlockBytes);
  }
  ::close(fd);
}

bool samePrefix(const fs::path& image, const fs::path& written) {
  std::ifstream a(image, std::ios::binary), b(written, std::ios::binary);
  std::vector<char> x(1 << 20), y(1 << 20);
  while (a) {
    a.read(x.data(), static_cast<std::streamsize>(x.size()));
    const auto n = a.gcount();
    if (n == 0) break;
    b.read(y.data(), n);
    if (b.gcount() != n || std::memcmp(x.data(), y.data(), static_cast<std::size_t>(n)) != 0) return false;
  }
  return true;
}

class LibburnWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_unique<LibburnService>();
    ASSERT_FALSE(service_->libraryError()) << service_->libraryError()->message;
  }

  std::shared_ptr<LibburnWriter> writerOn(const fs::path& file) {
    auto w = service_->writerForImageFile(file);
    EXPECT_TRUE(w.ok());
    return w.value();
  }

  static TrackProperties trackOf(const fs::path& image) {
    TrackProperties t;
    t.length = BlockCount::fromBytesRoundedDown(static_cast<std::int64_t>(fs::file_size(image)));
    return t;
  }

  static BurnSettings settings(bool verify = true) {
    BurnSettings s;
    s.verify = verify;
    s.mountOnCompletion = true;  // no effect on a pseudo-drive
    return s;
  }

  // Runs the event loop until the job has finished; answers its status.
  static JobStatus finish(Job& job) {
    QSignalSpy spy(&job, &Job::finished);
    EXPECT_TRUE(test::waitUntil([&] { return spy.count() > 0; }, std::chrono::seconds(120)));
    EXPECT_EQ(spy.count(), 1);
    return job.status();
  }

  TempDir dir_;
  std::unique_ptr<LibburnService> service_;
};

TEST_F(LibburnWriteTest, ImageComesOutByteIdenticalAndVerified) {
  const fs::path image = dir_ / "session.iso";
  makeImage(image, 3000);
  auto producer = std::make_shared<FileProducer>(image);
  auto writer = writerOn(dir_ / "disc.bin");
  EXPECT_FALSE(writer->isEmulated());

  std::set<JobPhase> seen;
  auto job = writer->burn(settings(), trackOf(image), producer);
  ASSERT_TRUE(job.ok()) << job.error().message;
  QSignalSpy spy(job.value().get(), &Job::finished);
  ASSERT_TRUE(test::waitUntil([&] {
    seen.insert(job.value()->status().phase);
    return spy.count() > 0;
  }, std::chrono::seconds(60)));
  const JobStatus status = job.value()->status();
  ASSERT_EQ(status.phase, JobPhase::Succeeded) << (status.error ? status.error->message : "");
  EXPECT_FALSE(status.error);
  EXPECT_DOUBLE_EQ(status.percent, 100.0);

  EXPECT_TRUE(samePrefix(image, dir_ / "disc.bin"));
  EXPECT_GE(fs::file_size(dir_ / "disc.bin"), fs::file_size(image));
  // One prepare and clean-up; the producer was rewound once, for verification.
  EXPECT_EQ(producer->prepared, 1);
  EXPECT_EQ(producer->cleanedUp, 1);
  EXPECT_EQ(producer->passes, 1);
  // The drive is given back: a second burn can grab it.
  EXPECT_FALSE(writer->drive()->held());
}

TEST_F(LibburnWriteTest, WithoutVerificationTheProducerRunsOnce) {
  const fs::path image = dir_ / "session.iso";
  makeImage(image, 400);
  auto producer = std::make_shared<FileProducer>(image);
  auto writer = writerOn(dir_ / "disc.bin");
  auto job = writer->burn(settings(false), trackOf(image), producer);
  ASSERT_TRUE(job.ok());
  const JobStatus status = finish(*job.value());
  ASSERT_EQ(status.phase, JobPhase::Succeeded) << (status.error ? status.error->message : "");
  EXPECT_EQ(producer->passes, 0);
  EXPECT_TRUE(samePrefix(image, dir_ / "disc.bin"));
}

TEST_F(LibburnWriteTest, LargeImageAtFullSpeed) {
  const fs::path image = dir_ / "big.iso";
  const std::int64_t blocks = 300LL * 1000 * 1000 / kBlockBytes;
  makeImage(image, blocks);
  auto producer = std::make_shared<FileProducer>(image);
  auto writer = writerOn(dir_ / "disc.bin");
  BurnSettings s = settings(true);
  s.requestedSpeedKBps.reset();  // as fast as it goes
  auto job = writer->burn(s, trackOf(image), producer);
  ASSERT_TRUE(job.ok());
  const JobStatus status = finish(*job.value());
  ASSERT_EQ(status.phase, JobPhase::Succeeded) << (status.error ? status.error->message : "");
  EXPECT_TRUE(samePrefix(image, dir_ / "disc.bin"));
}

// Holds the producer at a given byte until the test lets it go.
class GateProducer : public FileProducer {
 public:
  GateProducer(fs::path path, std::int64_t at) : FileProducer(std::move(path)), at_(at) {}
  void open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  std::atomic<bool> reached{false};

 protected:
  Status beforeRead(std::int64_t position, std::size_t) override {
    if (currentPass() == 0 && position >= at_) {
      reached = true;
      std::unique_lock lock(m_);
      cv_.wait(lock, [&] { return open_; });
    }
    return {};
  }

 private:
  std::int64_t at_;
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST_F(LibburnWriteTest, CancelMidwayEndsCancelledAndFreesTheDrive) {
  const fs::path image = dir_ / "session.iso";
  makeImage(image, 2000);
  auto producer = std::make_shared<GateProducer>(image, 1000 * kBlockBytes);
  auto writer = writerOn(dir_ / "disc.bin");
  auto job = writer->burn(settings(), trackOf(image), producer);
  ASSERT_TRUE(job.ok());
  ASSERT_TRUE(test::waitUntil([&] { return producer->reached.load(); }));
  EXPECT_TRUE(writer->mediumState().busy);
  // The drive takes no second job meanwhile.
  auto second = writer->burn(settings(), trackOf(image), std::make_shared<FileProducer>(image));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind, ErrorKind::Busy);

  job.value()->cancel();
  producer->open();
  const JobStatus status = finish(*job.value());
  EXPECT_EQ(status.phase, JobPhase::Cancelled);
  ASSERT_TRUE(status.error);
  EXPECT_EQ(status.error->kind, ErrorKind::Cancelled);
  EXPECT_EQ(producer->cleanedUp, 1);
  EXPECT_FALSE(writer->drive()->held());
  EXPECT_FALSE(writer->mediumState().busy);

  // And the drive burns again afterwards.
  auto again = writer->burn(settings(), trackOf(image), std::make_shared<FileProducer>(image));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(finish(*again.value()).phase, JobPhase::Succeeded);
}

// Fails with an error of its own once the given byte is reached.
class FailingProducer : public FileProducer {
 public:
  FailingProducer(fs::path path, std::int64_t at) : FileProducer(std::move(path)), at_(at) {}

 protected:
  Status beforeRead(std::int64_t position, std::size_t want) override {
    if (position + static_cast<std::int64_t>(want) > at_)
      return makeError(ErrorKind::Io, "the session image could not be read");
    return {};
  }

 private:
  std::int64_t at_;
};

TEST_F(LibburnWriteTest, ProducerFailureFailsTheBurnWithItsError) {
  const fs::path image = dir_ / "session.iso";
  makeImage(image, 1000);
  auto producer = std::make_shared<FailingProducer>(image, 300 * kBlockBytes);
  auto writer = writerOn(dir_ / "disc.bin");
  auto job = writer->burn(settings(), trackOf(image), producer);
  ASSERT_TRUE(job.ok());
  const JobStatus status = finish(*job.value());
  EXPECT_EQ(status.phase, JobPhase::Failed);
  ASSERT_TRUE(status.error);
  EXPECT_EQ(status.error->kind, ErrorKind::Io);
  EXPECT_EQ(status.error->message, "the session image could not be read");
  EXPECT_EQ(producer->cleanedUp, 1);
  EXPECT_FALSE(writer->drive()->held());
}

TEST_F(LibburnWriteTest, ShortProducerAndFailedPrepareAreTypedErrors) {
  const fs::path image = dir_ / "session.iso";
  makeImage(image, 100);
  auto writer = writerOn(dir_ / "disc.bin");

  // The producer runs dry before the track is complete.
  auto dry = std::make_shared<FileProducer>(image);
  dry->dryAfter = 64 * kBlockBytes;
  auto job = writer->burn(settings(), trackOf(image), dry);
  ASSERT_TRUE(job.ok());
  JobStatus status = finish(*job.value());
  EXPECT_EQ(status.phase, JobPhase::Failed);
  ASSERT_TRUE(status.error);
  EXPECT_NE(status.error->message.find("ended after 64 of 100 blocks"), std::string::npos) << status.error->message;

  auto missing = writer->burn(settings(), trackOf(image), std::make_shared<FileProducer>(dir_ / "gone.iso"));
  ASSERT_TRUE(missing.ok());
  status = finish(*missing.value());
  EXPECT_EQ(status.phase, JobPhase::Failed);
  ASSERT_TRUE(status.error);
  EXPECT_EQ(status.error->kind, ErrorKind::NotFound);
}

// Hands out different data on the second pass from block 7 on.
class ChangingProducer : public FileProducer {
 public:
  using FileProducer::FileProducer;

 protected:
  void afterRead(std::int64_t position, std::span<std::byte> data) override {
    if (currentPass() == 0) return;
    const std::int64_t target = 7 * kBlockBytes + 100;
    if (target >= position && target < position + static_cast<std::int64_t>(data.size()))
      data[static_cast<std::size_t>(target - position)] ^= std::byte{0xFF};
  }
};

TEST_F(LibburnWriteTest, VerificationNamesTheFirstDifferingBlock) {
  const fs::path image = dir_ / "session.iso";
  makeImage(image, 64);
  auto writer = writerOn(dir_ / "disc.bin");
  auto job = writer->burn(settings(), trackOf(image), std::make_shared<ChangingProducer>(image));
  ASSERT_TRUE(job.ok());
  const JobStatus status = finish(*job.value());
  EXPECT_EQ(status.phase, JobPhase::Failed);
  ASSERT_TRUE(status.error);
  EXPECT_EQ(status.error->kind, ErrorKind::VerifyMismatch);
  EXPECT_NE(status.error->message.find("at block 7."), std::string::npos) << status.error->message;
}

TEST(LibburnSpeed, RequestedKilobytesBecomeLibburnUnits) {
  EXPECT_EQ(libburnWriteSpeed(std::nullopt), 0);
  EXPECT_EQ(libburnWriteSpeed(0.0f), 0);
  EXPECT_EQ(libburnWriteSpeed(-5.0f), 0);
  EXPECT_EQ(libburnWriteSpeed(150.0f), 177);       // 1x: 176.4 rounded up
  EXPECT_EQ(libburnWriteSpeed(8 * 150.0f), 1412);  // 8x: 1411.2
  EXPECT_EQ(libburnWriteSpeed(48 * 150.0f), 8468);
}

TEST(LibburnMessages, MostSevereMessageLeads) {
  const std::vector<BurnMessage> messages = {
      {1, "SORRY", "Drive buffer underrun", 0},
      {2, "FATAL", "SCSI error on write: 3 0C 00 write error", 0},
      {3, "FAILURE", "Burn run failed", 0},
  };
  const std::string text = describeMessages(messages);
  EXPECT_EQ(text.rfind("SCSI error on write", 0), 0u) << text;
  EXPECT_NE(text.find("Burn run failed"), std::string::npos);
  EXPECT_TRUE(messagesMention(messages, "underrun"));
  EXPECT_EQ(describeMessages({}), "");
}

}  // namespace
}  // namespace tessaline::libburn
