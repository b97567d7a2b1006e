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
// has been handed out (the second pass serves verification). Can be told to
// run dry, to fail, or to hand out other data on its second pass.
class FileProducer : public TrackProducer {
 public:
  explicit FileProducer(fs::path path) : path_(std::move(path)) {}
  Status prepareTrack() override {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return makeError(ErrorKind::NotFound, "cannot open " + path_.string());
    size_ = static_cast<std::int64_t>(fs::file_size(path_));
    return ++prepared, Status{};
  }
  Result<std::uint32_t> produceData(std::span<std::byte> buffer) override {
    if (dryAfter && position_ >= *dryAfter) return 0u;
    if (position_ == size_) {
      position_ = 0;
      ::lseek(fd_, 0, SEEK_SET);
      ++passes;
    }
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(buffer.size(), size_ - position_));
    if (failAt && position_ + static_cast<std::int64_t>(want) > *failAt)
      return makeError(ErrorKind::Io, "the session image could not be read");
    beforeRead(position_);
    const ssize_t got = ::read(fd_, buffer.data(), want);
    if (got < 0) return makeError(ErrorKind::Io, "read failed");
    if (passes > 0 && flipAt && *flipAt >= position_ && *flipAt < position_ + got)
      buffer[static_cast<std::size_t>(*flipAt - position_)] ^= std::byte{0xFF};
    position_ += got;
    return static_cast<std::uint32_t>(got);
  }
  void cleanupTrack() override {
    ::close(fd_);
    fd_ = -1;
    ++cleanedUp;
  }

  std::atomic<int> prepared{0}, cleanedUp{0}, passes{0};  // passes: rewinds seen
  std::optional<std::int64_t> dryAfter;  // hands out nothing from this byte on
  std::optional<std::int64_t> failAt;    // fails once a read would reach this byte
  std::optional<std::int64_t> flipAt;    // this byte differs on the second pass

 protected:
  virtual void beforeRead(std::int64_t) {}

 private:
  fs::path path_;
  int fd_ = -1;
  std::int64_t size_ = 0, position_ = 0;
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

  // Burns the producer's data as a track as long as `image` and waits for the end.
  JobStatus burn(const std::shared_ptr<FileProducer>& producer, const fs::path& image,
                 const BurnSettings& s = settings()) {
    auto job = writer_->burn(s, trackOf(image), producer);
    if (!job.ok()) return JobStatus{JobPhase::Failed, 0.0, job.error()};
    return finish(*job.value());
  }

  fs::path image(std::int64_t blocks) {
    const fs::path path = dir_ / "session.iso";
    makeImage(path, blocks);
    writer_ = writerOn(dir_ / "disc.bin");
    return path;
  }

  TempDir dir_;
  std::unique_ptr<LibburnService> service_;
  std::shared_ptr<LibburnWriter> writer_;
};

TEST_F(LibburnWriteTest, ImageComesOutByteIdenticalWithAndWithoutVerification) {
  struct Case {
    bool verify;
    std::int64_t blocks;
    bool fullSpeed;
    int passes;  // the producer is rewound once, for verification
  };
  for (const Case c : {Case{true, 3000, false, 1}, Case{false, 400, false, 0},
                       Case{true, 300LL * 1000 * 1000 / kBlockBytes, true, 1}}) {
    SCOPED_TRACE(c.blocks);
    const fs::path img = image(c.blocks);
    EXPECT_FALSE(writer_->isEmulated());
    auto producer = std::make_shared<FileProducer>(img);
    BurnSettings s = settings(c.verify);
    if (c.fullSpeed) s.requestedSpeedKBps.reset();
    const JobStatus status = burn(producer, img, s);
    ASSERT_EQ(status.phase, JobPhase::Succeeded) << (status.error ? status.error->message : "");
    EXPECT_FALSE(status.error);
    EXPECT_DOUBLE_EQ(status.percent, 100.0);
    EXPECT_TRUE(samePrefix(img, dir_ / "disc.bin"));
    EXPECT_GE(fs::file_size(dir_ / "disc.bin"), fs::file_size(img));
    EXPECT_EQ(producer->prepared, 1);
    EXPECT_EQ(producer->cleanedUp, 1);
    EXPECT_EQ(producer->passes, c.passes);
    // The drive is given back: a later burn can grab it.
    EXPECT_FALSE(writer_->drive()->held());
    writer_.reset();
    fs::remove(dir_ / "disc.bin");
  }
}

// Holds the producer at a given byte until the test lets it go.
class GateProducer : public FileProducer {
 public:
  GateProducer(fs::path path, std::int64_t at) : FileProducer(std::move(path)), at_(at) {}
  void release() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  std::atomic<bool> reached{false};

 protected:
  void beforeRead(std::int64_t position) override {
    if (passes == 0 && position >= at_) {
      reached = true;
      std::unique_lock lock(m_);
      cv_.wait(lock, [&] { return open_; });
    }
  }

 private:
  std::int64_t at_;
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST_F(LibburnWriteTest, CancelMidwayEndsCancelledAndFreesTheDrive) {
  const fs::path img = image(2000);
  auto producer = std::make_shared<GateProducer>(img, 1000 * kBlockBytes);
  auto job = writer_->burn(settings(), trackOf(img), producer);
  ASSERT_TRUE(job.ok());
  ASSERT_TRUE(test::waitUntil([&] { return producer->reached.load(); }));
  EXPECT_TRUE(writer_->mediumState().busy);
  // The drive takes no second job meanwhile.
  EXPECT_EQ(burn(std::make_shared<FileProducer>(img), img).error->kind, ErrorKind::Busy);

  job.value()->cancel();
  producer->release();
  const JobStatus status = finish(*job.value());
  EXPECT_EQ(status.phase, JobPhase::Cancelled);
  ASSERT_TRUE(status.error);
  EXPECT_EQ(status.error->kind, ErrorKind::Cancelled);
  EXPECT_EQ(producer->cleanedUp, 1);
  EXPECT_FALSE(writer_->drive()->held());
  EXPECT_FALSE(writer_->mediumState().busy);
  // And the drive burns again afterwards.
  EXPECT_EQ(burn(std::make_shared<FileProducer>(img), img).phase, JobPhase::Succeeded);
}

TEST_F(LibburnWriteTest, FailuresAreTypedErrorsAndFreeTheDrive) {
  const fs::path img = image(100);
  auto failing = std::make_shared<FileProducer>(img);
  failing->failAt = 30 * kBlockBytes;
  auto dry = std::make_shared<FileProducer>(img);  // runs dry before the track is complete
  dry->dryAfter = 64 * kBlockBytes;
  auto missing = std::make_shared<FileProducer>(dir_ / "gone.iso");
  auto changing = std::make_shared<FileProducer>(img);  // verification names the first differing block
  changing->flipAt = 7 * kBlockBytes + 100;
  struct Case {
    std::shared_ptr<FileProducer> producer;
    std::optional<ErrorKind> kind;
    std::string fragment;
  };
  for (const Case& c : {Case{failing, ErrorKind::Io, "the session image could not be read"},
                        Case{dry, std::nullopt, "ended after 64 of 100 blocks"},
                        Case{missing, ErrorKind::NotFound, ""},
                        Case{changing, ErrorKind::VerifyMismatch, "at block 7."}}) {
    SCOPED_TRACE(c.fragment);
    const JobStatus status = burn(c.producer, img);
    EXPECT_EQ(status.phase, JobPhase::Failed);
    ASSERT_TRUE(status.error);
    if (c.kind) {
      EXPECT_EQ(status.error->kind, *c.kind);
    }
    EXPECT_NE(status.error->message.find(c.fragment), std::string::npos) << status.error->message;
    if (c.producer != missing) {
      EXPECT_EQ(c.producer->cleanedUp, 1);
    }
    EXPECT_FALSE(writer_->drive()->held());
  }
}

TEST(LibburnSpeed, RequestedKilobytesBecomeLibburnUnits) {
  EXPECT_EQ(libburnWriteSpeed(std::nullopt), 0);
  EXPECT_EQ(libburnWriteSpeed(0.0f), 0);
  EXPECT_EQ(libburnWriteSpeed(-5.0f), 0);
  EXPECT_EQ(libburnWriteSpeed(150.0f), 177);       // 1x: 176.4 rounded up
  EXPECT_EQ(libburnWriteSpeed(8 * 150.0f), 1412);  // 8x: 1411.2
  EXPECT_EQ(libburnWriteSpeed(48 * 150.0f), 8468);
  // And back: drives' reports in libburn units become CD multiples, each once.
  EXPECT_EQ(cdSpeedMultiples({8468, 0, 2823, 1412, 1411, -1, 4234}), (std::vector<int>{8, 16, 24, 48}));
  EXPECT_TRUE(cdSpeedMultiples({}).empty());
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
