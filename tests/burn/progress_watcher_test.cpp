#include <gtest/gtest.h>

#include <QTest>

#include <cmath>

#include "burn/progress_watcher.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;

// The image's size as a share of the target, starting determinate at almost 0;
// a size seen before does not touch the bar again. A target of nothing (or
// not a number) shows 0 and then 100, never NaN or infinity.
TEST(ProgressWatcher, ShowsTheImageSizeAsAPercentageOfTheTargetOnTheTimer) {
  const std::vector<std::pair<double, std::vector<double>>> cases = {
      {1000.0, {0.001, 25.0, 150.0}}, {0.0, {0.001, 100.0}}, {-5.0, {0.001, 100.0}},
      {std::nan(""), {0.001, 100.0}}, {1e-320, {0.001, 100.0}}};
  for (const auto& [target, values] : cases) {
    SCOPED_TRACE(target);
    test::TempDir dir;
    const fs::path image = dir / "img.iso";
    test::RecordingBar bar;
    bar.indeterminate = true;
    ProgressWatcher watcher;
    watcher.startWatching(image, target, &bar);
    EXPECT_FALSE(bar.indeterminate);
    watcher.checkProgress();  // no file yet
    for (const std::size_t size : {0, 250, 250, 1500}) {
      test::writeFile(image, std::string(size, 'x'));
      watcher.checkProgress();
    }
    EXPECT_EQ(bar.values, values);
  }

  // Polled on the timer until stopped; a bar is not needed.
  test::TempDir dir;
  const fs::path image = dir / "img.iso";
  test::RecordingBar bar;
  ProgressWatcher watcher;
  watcher.startWatching(image, 1000.0, &bar);
  test::writeFile(image, std::string(250, 'x'));
  ASSERT_TRUE(test::waitUntil([&] { return bar.values.size() == 2; }));
  EXPECT_EQ(bar.values[1], 25.0);
  watcher.stopWatching();
  test::writeFile(image, std::string(500, 'x'));
  QTest::qWait(3 * ProgressWatcher::kIntervalMs);  // the loop runs; no poll may happen
  EXPECT_EQ(bar.values.size(), 2u);

  watcher.startWatching(image, 1000.0, nullptr);
  watcher.checkProgress();
  EXPECT_EQ(watcher.progress(), 50.0);
}

}  // namespace
}  // namespace tessaline
