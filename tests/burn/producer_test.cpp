// What feeds a burn: the image as the track's data, and its growth as progress.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QTest>

#include <cmath>

#include "burn/producer.h"
#include "burn/progress_watcher.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Bytes that tell their own offset apart (a block read from the wrong place shows).
std::string patterned(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 2048) & 0xFF);
  return s;
}

// Both ways of reading: in order, from byte 0 again after the whole image (the
// verification pass), with buffers of any size; an image that shrinks under
// the reader is an error, never garbage. O_DIRECT depends on the file system.
class ProducerModes : public ::testing::TestWithParam<Producer::CacheBypass> {};

TEST_P(ProducerModes, StreamsRewindsAndRefusesAShrunkImage) {
  TempDir dir;
  const std::string image = patterned(3 * 65536 + 2048);  // not whole pages
  test::writeFile(dir / "s.iso", image);
  Producer producer{GetParam()};
  producer.setFilePath(dir / "s.iso");
  auto prepared = producer.prepareTrack();
  if (!prepared && prepared.error().message.find("O_DIRECT") != std::string::npos) GTEST_SKIP() << "no O_DIRECT";
  ASSERT_TRUE(prepared.ok()) << prepared.error().message;
  EXPECT_EQ(producer.readsDirectly(), GetParam() == Producer::CacheBypass::DirectIo);
  std::vector<std::byte> buffer(4 * 65536);
  const auto read = [&](std::size_t size) {
    auto r = producer.produceData(std::span(buffer).first(size));
    return r ? std::string(reinterpret_cast<const char*>(buffer.data()), r.value()) : "<" + r.error().message + ">";
  };
  for (std::size_t at = 0; at < image.size(); at += 65536) EXPECT_EQ(read(65536), image.substr(at, 65536)) << at;
  EXPECT_EQ(read(4 * 65536), image);  // from byte 0 again
  for (std::size_t at = 0; at < 8 * 2048; at += 2048) EXPECT_EQ(read(2048), image.substr(at, 2048)) << at;
  ASSERT_EQ(::truncate((dir / "s.iso").c_str(), 65536 + 3000), 0);
  auto shrunk = producer.produceData(buffer);
  ASSERT_FALSE(shrunk.ok());
  EXPECT_EQ(shrunk.error().kind, ErrorKind::Io);
  EXPECT_NE(shrunk.error().message.find("ended at byte 68536"), std::string::npos) << shrunk.error().message;
  producer.cleanupTrack();
  EXPECT_FALSE(producer.produceData(buffer).ok());  // closed
}

INSTANTIATE_TEST_SUITE_P(CacheBypass, ProducerModes,
                         ::testing::Values(Producer::CacheBypass::Automatic, Producer::CacheBypass::DirectIo));

TEST(Producer, RefusesAnImageItCannotRead) {
  TempDir dir;
  Producer producer;
  EXPECT_EQ(producer.prepareTrack().error().kind, ErrorKind::InvalidInput);  // no path
  fs::create_directory(dir / "folder.iso");
  ASSERT_EQ(::mkfifo((dir / "fifo.iso").c_str(), 0644), 0);  // must not hang
  for (const auto& [name, kind] : {std::pair{"missing.iso", ErrorKind::NotFound},
                                   std::pair{"folder.iso", ErrorKind::InvalidInput},
                                   std::pair{"fifo.iso", ErrorKind::InvalidInput}}) {
    producer.setFilePath(dir / name);
    const auto r = producer.prepareTrack();
    EXPECT_EQ(r.error().kind, kind) << name;
    EXPECT_NE(r.error().message.find(name), std::string::npos) << r.error().message;
  }
  // A file whose every read fails (the loopback device has no speed to tell),
  // as a failing disk's would: the error ends the track, the read is not
  // tried again forever.
  const fs::path failing = "/sys/class/net/lo/speed";
  if (!fs::is_regular_file(failing)) return;
  producer.setFilePath(failing);
  ASSERT_TRUE(producer.prepareTrack().ok());
  std::vector<std::byte> buffer(4096);
  const auto r = producer.produceData(buffer);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Io);
  EXPECT_NE(r.error().message.find("cannot read the session image"), std::string::npos) << r.error().message;
}

struct Bar : test::SilentBar {  // records what the watcher shows
  void setIndeterminate(bool on) override { indeterminate = on; }
  void setDoubleValue(double percent) override { values.push_back(percent); }
  bool indeterminate = true;
  std::vector<double> values;
};

// The image's size as a share of the target, starting determinate at almost 0;
// a size seen before does not touch the bar again. A target of nothing (or
// not a number) gives 100 once the image holds bytes, never NaN or infinity.
TEST(ProgressWatcher, ShowsTheImageSizeAsAPercentageOfTheTargetOnTheTimer) {
  const std::vector<std::pair<double, std::vector<double>>> cases = {
      {1000.0, {0.001, 25.0, 150.0}}, {0.0, {0.001, 100.0}}, {-5.0, {0.001, 100.0}},
      {std::nan(""), {0.001, 100.0}}, {1e-320, {0.001, 100.0}}};
  for (const auto& [target, values] : cases) {
    SCOPED_TRACE(target);
    TempDir dir;
    const fs::path image = dir / "img.iso";
    Bar bar;
    ProgressWatcher watcher;
    watcher.startWatching(image, target, &bar);
    EXPECT_FALSE(bar.indeterminate);
    watcher.checkProgress();  // no file yet
    for (const std::size_t size : {0, 250, 250, 1500}) {
      test::writeFile(image, std::string(size, 'x'));
      watcher.checkProgress();
      if (size == 0) EXPECT_EQ(bar.values.size(), 1u);  // an empty image is no progress, whatever the target
    }
    EXPECT_EQ(bar.values, values);
  }

  // Polled on the timer until stopped.
  TempDir dir;
  const fs::path image = dir / "img.iso";
  Bar bar;
  ProgressWatcher watcher;
  watcher.startWatching(image, 1000.0, &bar);
  test::writeFile(image, std::string(250, 'x'));
  ASSERT_TRUE(test::waitUntil([&] { return bar.values.size() == 2; }));
  EXPECT_EQ(bar.values[1], 25.0);
  watcher.stopWatching();
  test::writeFile(image, std::string(500, 'x'));
  QTest::qWait(3 * ProgressWatcher::kIntervalMs);  // the loop runs; no poll may happen
  EXPECT_EQ(bar.values.size(), 2u);
}

}  // namespace
}  // namespace tessaline
