// The write path of the real-drive backend, run against libburn's stdio
// pseudo-drive on a regular file: our burn_source feeding libburn from a
// producer, verification by reading back, cancellation, failing producers.

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "devices/libburn/burn_library.h"
#include "devices/libburn/libburn_service.h"
#include "support/test_support.h"

namespace tessaline::libburn {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Streams a file, and starts again from the beginning after the last byte
// has been handed out (the second pass serves verification). Can be told to
// run dry, to fail, or to wait.
class FileProducer : public TrackProducer {
 public:
  explicit FileProducer(fs::path path) : path_(std::move(path)) {}
  Status prepareTrack() override {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return makeError(ErrorKind::NotFound, "cannot open " + path_.string());
    size_ = static_cast<std::int64_t>(fs::file_size(path_));
    return Status{};
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
    while (holdAt && passes == 0 && position_ >= *holdAt && !released) {
      held = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const ssize_t got = ::read(fd_, buffer.data(), want);
    if (got < 0) return makeError(ErrorKind::Io, "read failed");
    position_ += got;
    return static_cast<std::uint32_t>(got);
  }
  void cleanupTrack() override {
    ::close(fd_);
    fd_ = -1;
    ++cleanedUp;
  }

  std::atomic<int> cleanedUp{0}, passes{0};  // passes: rewinds seen
  std::optional<std::int64_t> dryAfter;  // hands out nothing from this byte on
  std::optional<std::int64_t> failAt;    // fails once a read would reach this byte
  std::optional<std::int64_t> holdAt;    // waits at this byte, on the first pass, until released
  std::atomic<bool> held{false}, released{false};

 private:
  fs::path path_;
  int fd_ = -1;
  std::int64_t size_ = 0, position_ = 0;
};

// An image whose every block carries its number, so a misplaced block shows.
void makeImage(const fs::path& path, std::int64_t blocks) {
  std::string data(static_cast<std::size_t>(blocks * kBlockBytes), '\0');
  for (std::int64_t i = 0; i < blocks; ++i)
    std::snprintf(&data[static_cast<std::size_t>(i * kBlockBytes)], 32, "block %lld", static_cast<long long>(i));
  test::writeFile(path, data);
}

class LibburnWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_unique<LibburnService>();
    ASSERT_FALSE(service_->libraryError()) << service_->libraryError()->message;
  }

  static TrackProperties trackOf(const fs::path& image) {
    TrackProperties t;
    t.length = BlockCount::fromBytesRoundedDown(static_cast<std::int64_t>(fs::file_size(image)));
    return t;
  }

  static BurnSettings settings(bool verify = true) {
    BurnSettings s;
    s.verify = verify;
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
    writer_ = service_->writerForImageFile(dir_ / "disc.bin").value();
    return path;
  }

  void expectBurned(const fs::path& img, bool verify) {
    auto producer = std::make_shared<FileProducer>(img);
    const JobStatus status = burn(producer, img, settings(verify));
    ASSERT_EQ(status.phase, JobPhase::Succeeded) << (status.error ? status.error->message : "");
    EXPECT_DOUBLE_EQ(status.percent, 100.0);
    EXPECT_EQ(test::readFile(dir_ / "disc.bin").substr(0, fs::file_size(img)), test::readFile(img));
    EXPECT_EQ(producer->cleanedUp, 1);
    EXPECT_EQ(producer->passes, verify ? 1 : 0);  // rewound once, for verification
    EXPECT_FALSE(writer_->drive()->held());
  }

  TempDir dir_;
  std::unique_ptr<LibburnService> service_;
  std::shared_ptr<LibburnWriter> writer_;
};

TEST_F(LibburnWriteTest, CancelMidwayEndsCancelledAndFreesTheDriveForTheNextBurn) {
  const fs::path img = image(2000);
  auto producer = std::make_shared<FileProducer>(img);
  producer->holdAt = 1000 * kBlockBytes;
  auto job = writer_->burn(settings(), trackOf(img), producer);
  ASSERT_TRUE(job.ok());
  ASSERT_TRUE(test::waitUntil([&] { return producer->held.load(); }));
  EXPECT_TRUE(writer_->mediumState().busy);
  // The drive takes no second job meanwhile.
  EXPECT_EQ(burn(std::make_shared<FileProducer>(img), img).error->kind, ErrorKind::Busy);

  job.value()->cancel();
  producer->released = true;
  const JobStatus status = finish(*job.value());
  EXPECT_EQ(status.phase, JobPhase::Cancelled);
  ASSERT_TRUE(status.error);
  EXPECT_EQ(status.error->kind, ErrorKind::Cancelled);
  EXPECT_EQ(producer->cleanedUp, 1);
  EXPECT_FALSE(writer_->drive()->held());
  EXPECT_FALSE(writer_->mediumState().busy);
  // And the drive burns again afterwards, the image byte for byte, read back once.
  expectBurned(img, true);
}

TEST_F(LibburnWriteTest, FailingProducersAreTypedErrorsAndFreeTheDrive) {
  const fs::path img = image(100);
  auto failing = std::make_shared<FileProducer>(img);
  failing->failAt = 30 * kBlockBytes;
  auto dry = std::make_shared<FileProducer>(img);  // runs dry before the track is complete
  dry->dryAfter = 64 * kBlockBytes;
  auto missing = std::make_shared<FileProducer>(dir_ / "gone.iso");
  struct Case {
    std::shared_ptr<FileProducer> producer;
    std::optional<ErrorKind> kind;
    std::string fragment;
  };
  for (const Case& c : {Case{failing, ErrorKind::Io, "the session image could not be read"},
                        Case{dry, std::nullopt, "ended after 64 of 100 blocks"},
                        Case{missing, ErrorKind::NotFound, ""}}) {
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
  // Without verification the image is written and not read back.
  expectBurned(img, false);
}

TEST(LibburnUnits, SpeedsAndMessages) {
  // Requested kB/s become libburn's units (1x: 176.4, rounded up); none or nonsense: the fastest.
  for (const auto& [kBps, units] : std::vector<std::pair<std::optional<float>, int>>{
           {std::nullopt, 0}, {0.0f, 0}, {-5.0f, 0}, {150.0f, 177}, {8 * 150.0f, 1412}, {48 * 150.0f, 8468}})
    EXPECT_EQ(libburnWriteSpeed(kBps), units) << kBps.value_or(-1);
  // And back: drives' reports become CD multiples, each once.
  EXPECT_EQ(cdSpeedMultiples({8468, 0, 2823, 1412, 1411, -1, 4234}), (std::vector<int>{8, 16, 24, 48}));
  // The most severe of libburn's messages leads.
  const std::vector<BurnMessage> messages = {{1, "SORRY", "Drive buffer underrun", 0},
                                             {2, "FATAL", "SCSI error on write: 3 0C 00 write error", 0},
                                             {3, "FAILURE", "Burn run failed", 0}};
  const std::string text = describeMessages(messages);
  EXPECT_EQ(text.rfind("SCSI error on write", 0), 0u) << text;
  EXPECT_NE(text.find("Burn run failed"), std::string::npos);
  EXPECT_TRUE(messagesMention(messages, "underrun"));
}

}  // namespace
}  // namespace tessaline::libburn
