// The write path of the real-drive backend, run against libburn's stdio
// pseudo-drive on a regular file: our burn_source feeding libburn from a
// producer, verification by reading back, cancellation, failing producers.

#include <gtest/gtest.h>

#include "devices/libburn/burn_library.h"
#include "devices/libburn/libburn_service.h"
#include "support/test_producer.h"
#include "support/test_support.h"

namespace tessaline::libburn {
namespace {

using test::finish;
using test::TestProducer;

class LibburnWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(service_.libraryError()) << service_.libraryError()->message;
    writer_ = service_.writerForImageFile(dir_ / "disc.bin").value();
  }
  JobStatus burn(const std::shared_ptr<TestProducer>& producer, bool verify = true) {
    BurnSettings s;
    s.verify = verify;
    return finish(writer_->burn(s, producer->track(), producer));
  }

  test::TempDir dir_;
  LibburnService service_;
  std::shared_ptr<LibburnWriter> writer_;
};

TEST_F(LibburnWriteTest, CancelMidwayEndsCancelledAndFreesTheDriveForTheNextBurn) {
  // Stopped while writing, the session is not recorded; while reading back, it is.
  for (const int pass : {0, 1}) {
    SCOPED_TRACE(pass == 0 ? "writing" : "verifying");
    auto producer = std::make_shared<TestProducer>(2000);
    producer->holdAt = 1000 * kBlockBytes;
    producer->holdPass = pass;
    auto job = writer_->burn(BurnSettings{}, producer->track(), producer);
    ASSERT_TRUE(job.ok());
    ASSERT_TRUE(test::waitUntil([&] { return producer->held.load(); }));
    EXPECT_TRUE(writer_->mediumState().busy);
    if (pass == 1) {  // reading back shows how far it has come
      EXPECT_EQ(job.value()->status().phase, JobPhase::Verifying);
      EXPECT_GT(job.value()->status().percent, 0.0);
    }
    // The drive takes no second job meanwhile.
    EXPECT_EQ(burn(std::make_shared<TestProducer>(10)).error->kind, ErrorKind::Busy);

    job.value()->cancel();
    producer->released = true;
    const JobStatus status = finish(std::move(job));
    EXPECT_EQ(status.phase, JobPhase::Cancelled);
    ASSERT_TRUE(status.error);
    EXPECT_EQ(status.error->kind, ErrorKind::Cancelled);
    EXPECT_EQ(status.sessionRecorded, pass == 1);
    EXPECT_EQ(producer->cleanedUp, 1);
    EXPECT_FALSE(writer_->drive()->held());
    EXPECT_FALSE(writer_->mediumState().busy);
  }
  // And the drive burns again afterwards, byte for byte, read back once.
  auto next = std::make_shared<TestProducer>(2000);
  const JobStatus again = burn(next);
  ASSERT_EQ(again.phase, JobPhase::Succeeded) << (again.error ? again.error->message : "");
  EXPECT_DOUBLE_EQ(again.percent, 100.0);
  EXPECT_EQ(test::readFile(dir_ / "disc.bin").substr(0, next->bytes().size()), next->bytes());
  EXPECT_EQ(next->passes, 1);
}

TEST_F(LibburnWriteTest, FailingProducersAreTypedErrorsAndFreeTheDrive) {
  struct Case {
    std::optional<ErrorKind> kind;
    std::string fragment;
    std::function<void(TestProducer&)> fault;
  };
  for (const Case& c : {Case{ErrorKind::Io, "the session image could not be read",
                             [](TestProducer& p) { p.failAt = 30 * kBlockBytes; }},
                        Case{std::nullopt, "ended after 64 of 100 blocks", [](TestProducer& p) { p.dryAfter = 64 * kBlockBytes; }},
                        Case{ErrorKind::NotFound, "cannot open",
                             [](TestProducer& p) { p.prepareError = makeError(ErrorKind::NotFound, "cannot open gone.iso"); }}}) {
    SCOPED_TRACE(c.fragment);
    auto producer = std::make_shared<TestProducer>(100);
    c.fault(*producer);
    const JobStatus status = burn(producer);
    EXPECT_EQ(status.phase, JobPhase::Failed);
    ASSERT_TRUE(status.error);
    EXPECT_EQ(status.error->kind, c.kind.value_or(status.error->kind));
    EXPECT_NE(status.error->message.find(c.fragment), std::string::npos) << status.error->message;
    if (!producer->prepareError) {
      EXPECT_EQ(producer->cleanedUp, 1);
    }
    EXPECT_FALSE(writer_->drive()->held());
  }
  // Without verification the data is written and not read back.
  auto producer = std::make_shared<TestProducer>(100);
  ASSERT_EQ(burn(producer, false).phase, JobPhase::Succeeded);
  EXPECT_EQ(test::readFile(dir_ / "disc.bin").substr(0, producer->bytes().size()), producer->bytes());
  EXPECT_EQ(producer->passes, 0);
  EXPECT_EQ(producer->cleanedUp, 1);
  // An erase, done or refused, leaves the drive free for the next burn.
  finish(writer_->erase());
  EXPECT_EQ(burn(std::make_shared<TestProducer>(10)).phase, JobPhase::Succeeded);
}

TEST(LibburnUnits, SpeedsAndMessages) {
  // Requested kB/s become libburn's units (1x: 176.4, rounded up); none or nonsense: the fastest.
  for (const auto& [kBps, units] : std::vector<std::pair<std::optional<float>, int>>{
           {std::nullopt, 0}, {0.0f, 0}, {-5.0f, 0}, {150.0f, 177}, {8 * 150.0f, 1412}, {48 * 150.0f, 8468}})
    EXPECT_EQ(libburnWriteSpeed(kBps), units) << kBps.value_or(-1);
  // The most severe of libburn's messages leads.
  const std::vector<BurnMessage> messages = {{1, "SORRY", "Drive buffer underrun", 0},
                                             {2, "FATAL", "SCSI error on write: 3 0C 00 write error", 0},
                                             {3, "FAILURE", "Burn run failed", 0}};
  const std::string text = describeMessages(messages);
  EXPECT_EQ(text.rfind("SCSI error on write", 0), 0u) << text;
  EXPECT_NE(text.find("Burn run failed"), std::string::npos);
}

}  // namespace
}  // namespace tessaline::libburn
