#include <gtest/gtest.h>

#include <QTest>

#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "burn/progress_watcher.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

class RecordingIndicator : public ProgressIndicator {
 public:
  void setUsesThreadedAnimation(bool on) override { calls.push_back(std::string("threaded:") + (on ? "1" : "0")); }
  void setIndeterminate(bool on) override { calls.push_back(std::string("indeterminate:") + (on ? "1" : "0")); }
  void setDoubleValue(double percent) override {
    calls.push_back("value");
    values.push_back(percent);
  }
  void startAnimation() override { calls.emplace_back("start"); }
  void stopAnimation() override { calls.emplace_back("stop"); }
  std::vector<std::string> calls;
  std::vector<double> values;
};

void resize(const fs::path& path, off_t size) {
  if (!fs::exists(path)) test::writeFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

TEST(ProgressWatcher, StartsDeterminateAtAlmostZero) {
  TempDir dir;
  RecordingIndicator bar;
  ProgressWatcher watcher;
  watcher.startWatching(dir / "img.iso", 1000.0, &bar);
  EXPECT_EQ(bar.calls, (std::vector<std::string>{"indeterminate:0", "value"}));
  EXPECT_EQ(bar.values, std::vector<double>{0.001});
  EXPECT_TRUE(watcher.isWatching());
  watcher.checkProgress();  // no file yet: nothing changes
  EXPECT_EQ(bar.values.size(), 1u);
  watcher.stopWatching();
}

TEST(ProgressWatcher, ShowsTheImageSizeAsAPercentageOfTheTarget) {
  TempDir dir;
  RecordingIndicator bar;
  ProgressWatcher watcher;
  const fs::path image = dir / "img.iso";
  watcher.startWatching(image, 104'857'600.0, &bar);
  resize(image, 52'428'800);
  watcher.checkProgress();
  watcher.checkProgress();  // same size: the bar is not touched again
  ASSERT_EQ(bar.values.size(), 2u);
  EXPECT_EQ(bar.values[1], 50.0);
  resize(image, 157'286'400);  // past the estimate
  watcher.checkProgress();
  ASSERT_EQ(bar.values.size(), 3u);
  EXPECT_EQ(bar.values[2], 150.0);
  EXPECT_EQ(watcher.progress(), 150.0);
  watcher.stopWatching();
}

TEST(ProgressWatcher, PollsOnTheTimerUntilStopped) {
  TempDir dir;
  RecordingIndicator bar;
  ProgressWatcher watcher;
  const fs::path image = dir / "img.iso";
  watcher.startWatching(image, 1000.0, &bar);
  resize(image, 250);
  ASSERT_TRUE(test::waitUntil([&] { return bar.values.size() == 2; }));
  EXPECT_EQ(bar.values[1], 25.0);
  watcher.stopWatching();
  EXPECT_FALSE(watcher.isWatching());
  resize(image, 500);
  QTest::qWait(3 * ProgressWatcher::kIntervalMs);  // the loop runs; no poll may happen
  EXPECT_EQ(bar.values.size(), 2u);
}

TEST(ProgressWatcher, ATargetOfNothingNeverGivesNaNOrInfinity) {
  TempDir dir;
  for (const double target : {0.0, -5.0, std::nan(""), 1e-320}) {
    RecordingIndicator bar;
    ProgressWatcher watcher;
    const fs::path image = dir / "img.iso";
    fs::remove(image);
    watcher.startWatching(image, target, &bar);
    resize(image, 0);
    watcher.checkProgress();
    resize(image, 4096);
    watcher.checkProgress();
    watcher.stopWatching();
    for (double v : bar.values) EXPECT_TRUE(std::isfinite(v)) << target;
    EXPECT_EQ(bar.values.back(), 100.0) << target;
  }
}

TEST(ProgressWatcher, WorksWithoutABar) {
  TempDir dir;
  ProgressWatcher watcher;
  watcher.startWatching(dir / "img.iso", 100.0, nullptr);
  resize(dir / "img.iso", 50);
  watcher.checkProgress();
  EXPECT_EQ(watcher.progress(), 50.0);
}

}  // namespace
}  // namespace tessaline
