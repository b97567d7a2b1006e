// Sizes refreshed when the application becomes active, but not during a burn.

#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

using StartupTest = ControllerFixture;

TEST_F(StartupTest, BecomingActiveRefreshesSizesExceptDuringABurn) {
  // The image tool waits for the gate before it builds the image: the burn
  // stays in progress until the test lets it go on.
  writeFile(temp_ / "bin/mkisofs", "#!/bin/sh\n[ \"$1\" = -version ] || while [ ! -e " + (temp_ / "gate").string() +
                                       " ]; do sleep 0.05; done\nexec xorrisofs \"$@\"\n");
  fs::permissions(temp_ / "bin/mkisofs", fs::perms::owner_all);
  ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin/mkisofs").string());
  addWriter("w");
  insert("w", "cd-r");
  prefs().setValue(prefs::storeBurnConfiguration, true);
  start();
  ASSERT_TRUE(settle());
  writeFile(temp_ / "src/a.bin", std::string(1'000'000, 'x'));
  controller().addSourceToController(temp_ / "src");
  const auto sizeOfSource = [&] {
    for (const auto& item : controller().sessionContentController().items())
      if (item.aPath == temp_ / "src") return item.sizeInMB;
    return -1.0;
  };
  writeFile(temp_ / "src/b.bin", std::string(500'000, 'y'));
  controller().applicationDidBecomeActive();
  EXPECT_DOUBLE_EQ(sizeOfSource(), 1.5);

  std::optional<BurnOutcome> outcome;
  QObject::connect(&controller(), &appController::burnFinished, [&](const BurnOutcome& o) { outcome = o; });
  controller().attemptBurn();
  ASSERT_TRUE(waitUntil([&] { return controller().burnInProgress(); }));
  writeFile(temp_ / "src/c.bin", std::string(250'000, 'z'));
  controller().applicationDidBecomeActive();
  EXPECT_DOUBLE_EQ(sizeOfSource(), 1.5);
  writeFile(temp_ / "gate", "");
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, std::chrono::seconds(60)));
  ASSERT_TRUE(outcome->written);

  // The disc brings the source back; what changed since counts again.
  ASSERT_TRUE(waitUntil([&] { return sizeOfSource() >= 0; }));
  ASSERT_TRUE(settle());
  writeFile(temp_ / "src/d.bin", std::string(2'000'000, 'w'));
  controller().applicationDidBecomeActive();
  EXPECT_DOUBLE_EQ(sizeOfSource(), 2.0);
}

}  // namespace
}  // namespace tessaline::test
