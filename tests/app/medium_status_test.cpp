// The writer's reports and the application becoming active, also during a burn.

#include "devices/emulated/emulated_writers.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

using MonitorTest = ControllerFixture;

TEST_F(MonitorTest, NotificationsForOtherWritersOrDuringABurnChangeNothingAndSizesWaitForTheBurn) {
  const ScopedEnv tool = gateImaging();
  writeFile(temp_ / "disc/Docs/a.txt", "a");
  addWriter("a");
  addWriter("b");
  insert("a", "cd-r", {makeImage(temp_ / "disc", "Backup")});
  prefs().setValue(prefs::storeBurnConfiguration, true);
  start();
  ASSERT_TRUE(settle());
  const auto before = status();
  ASSERT_EQ(before.title, QStringLiteral("Backup"));
  int changes = 0;
  QObject::connect(&controller().statusController(), &StatusController::contentChanged, [&] { ++changes; });
  insert("b", "cd-rw");
  waitUntil([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(changes, 0);  // not even for a moment
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
  ASSERT_TRUE(waitUntil([&] { return controller().burnInProgress() && fs::exists(temp_ / "imaging"); }));
  controller().deviceStatusChanged(controller().theDevice());  // as the writer reports during the burn
  // A writer appearing during the burn leaves the burn's writer selected.
  ASSERT_TRUE(emulated::createWriter(writersDir_, "c").ok());
  ASSERT_TRUE(waitUntil([&] { return controller().registeredDevices().size() == 3; }));
  EXPECT_EQ(window_.writerMenu.selected, 0);
  EXPECT_EQ(controller().theDevice()->ioRegistryEntryPath(), "/emulated/a");
  writeFile(temp_ / "src/c.bin", std::string(250'000, 'z'));
  controller().applicationDidBecomeActive();
  waitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(status().deviceStatusString, before.deviceStatusString);
  EXPECT_EQ(status().title, before.title);
  EXPECT_EQ(status().mountPath, before.mountPath);
  EXPECT_EQ(listNames().size(), 2u);
  EXPECT_DOUBLE_EQ(sizeOfSource(), 1.5);
  writeFile(temp_ / "gate", "");
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, std::chrono::seconds(60)));
  ASSERT_TRUE(outcome->written);
  // The disc brings the source back; what changed since counts again:
  // c.bin, written once the session was staged, and d.bin.
  ASSERT_TRUE(waitUntil([&] { return sizeOfSource() >= 0; }));
  ASSERT_TRUE(settle());
  const auto& model = controller().sessionContentController();
  for (int row = 0; row < model.rowCount(); ++row) {  // and says so when pointed at
    if (model.items()[static_cast<std::size_t>(row)].aPath == temp_ / "src") {
      EXPECT_TRUE(model.index(row, 0).data(Qt::ToolTipRole).toString().endsWith(
          QStringLiteral("\nRemembered by the disc; what is new or newer goes into the next session.")));
    }
  }
  writeFile(temp_ / "src/d.bin", std::string(2'000'000, 'w'));
  controller().applicationDidBecomeActive();
  EXPECT_DOUBLE_EQ(sizeOfSource(), 2.25);
  // Hiding the disc's sessions makes the next session a whole copy, and back.
  controller().setHidePreviousSessions(true);
  EXPECT_DOUBLE_EQ(sizeOfSource(), 3.75);
  controller().setHidePreviousSessions(false);
  EXPECT_DOUBLE_EQ(sizeOfSource(), 2.25);
  // Without the disc the next session is a whole copy again.
  ASSERT_TRUE(emulated::eject(writersDir_, "a").ok());
  EXPECT_TRUE(waitUntil([&] { return sizeOfSource() == 3.75 && listNames().size() == 1; }));
}

// The disc taken out while its session was being built: once the burn is
// stopped, the status tells, although the report came during the burn.
TEST_F(MonitorTest, ADiscEjectedDuringImagingShowsAsGoneOnceTheBurnIsStopped) {
  const ScopedEnv tool = gateImaging();
  writeFile(temp_ / "disc/a.txt", "a");
  addWriter("a");
  insert("a", "cd-r", {makeImage(temp_ / "disc", "Backup")});
  start();
  ASSERT_TRUE(settle());
  writeFile(temp_ / "src/b.txt", "b");
  controller().addSourceToController(temp_ / "src");
  std::optional<BurnOutcome> outcome;
  QObject::connect(&controller(), &appController::burnFinished, [&](const BurnOutcome& o) { outcome = o; });
  controller().attemptBurn();
  ASSERT_TRUE(waitUntil([&] { return controller().burnInProgress() && fs::exists(temp_ / "imaging"); }));
  ASSERT_TRUE(emulated::eject(writersDir_, "a").ok());
  ASSERT_TRUE(waitUntil([&] {
    const MediumState state = controller().theDevice()->mediumState();
    return !state.present && !state.transitioning;
  }));
  waitUntil([] { return false; }, std::chrono::milliseconds(500));  // its last report, too
  EXPECT_EQ(status().title, QStringLiteral("Backup"));  // not while the burn runs
  controller().cancelBurn();
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, std::chrono::seconds(30)));
  EXPECT_FALSE(outcome->writingStarted);
  EXPECT_TRUE(waitUntil([&] { return status().deviceStatusString == controller().strings().localized("noDisc"); },
                        std::chrono::seconds(10)));
  EXPECT_FALSE(status().title.has_value());
}

}  // namespace
}  // namespace tessaline::test
