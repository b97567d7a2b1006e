// The burn goes to the disc the window shows: a writer appearing, a disc
// mounted late; staging folders left by runs that died.

#include "devices/emulated/emulated_writers.h"
#include "staging/staging_folder.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

class RightDiscTest : public ControllerFixture {
 protected:
  fs::path docs() {
    writeFile(temp_ / "home/Docs/a.txt", "first");
    writeFile(temp_ / "home/Docs/sub/b.txt", "second");
    return temp_ / "home/Docs";
  }
  fs::path backupImage() {
    writeFile(temp_ / "disc/Docs/a.txt", "old");
    setModTime(temp_ / "disc/Docs/a.txt", 1'000'000'000);
    return makeImage(temp_ / "disc", "Backup");
  }
  void startWithTheBackupInserted() {
    addWriter("w");
    insert("w", "cd-r", {backupImage()});
    start();
  }
};

TEST_F(RightDiscTest, AWriterAppearingSwitchesEverythingToTheWriterNowSelected) {
  addWriter("a");
  addWriter("c");
  insert("a", "cd-r");
  insert("c", "cd-r", {backupImage()});
  start();
  ASSERT_TRUE(settle());
  window_.writerMenu.selected = 1;  // c
  controller().changeDevice();
  ASSERT_TRUE(settle());
  ASSERT_EQ(status().title, QStringLiteral("Backup"));
  ASSERT_FALSE(listNames().empty());
  // Another program adds a writer; the first writer is selected again.
  ASSERT_TRUE(emulated::createWriter(writersDir_, "d").ok());
  ASSERT_TRUE(waitUntil([&] { return controller().registeredDevices().size() == 3; }));
  ASSERT_TRUE(settle());
  EXPECT_EQ(controller().theDevice()->ioRegistryEntryPath(), "/emulated/a");
  EXPECT_EQ(status().title, QStringLiteral("untitled"));  // a's blank disc, not c's
  EXPECT_FALSE(status().mountPath.has_value());
  EXPECT_TRUE(listNames().empty());
  EXPECT_TRUE(controller().theDevice()->mediumState().reserved);
  // A burn now goes onto a's disc and leaves c's alone.
  controller().addSourceToController(docs());
  const auto outcome = burnAndWait();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->written);
  for (const char* writer : {"a", "c"}) EXPECT_EQ(emulated::writerInfo(writersDir_, writer).value().disc->tracks.size(), 1u);
  // The same sources again: nothing is new, no session is written, and the
  // list stays as the user made it.
  ASSERT_TRUE(settle());
  controller().addSourceToController(temp_ / "home/Docs");
  const auto again = burnAndWait();
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(again->upToDate);
  EXPECT_EQ(emulated::writerInfo(writersDir_, "a").value().disc->tracks.size(), 1u);
  const auto& items = controller().sessionContentController().items();
  EXPECT_TRUE(std::any_of(items.begin(), items.end(), [](const BurnItem& i) { return !i.permanent(); }));
  EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("discUpToDate/discUpToDateLong"));
  // Every writer gone: the disc's items leave the list, the user's stay.
  for (const char* writer : {"a", "c", "d"}) ASSERT_TRUE(emulated::removeWriter(writersDir_, writer).ok());
  ASSERT_TRUE(waitUntil([&] { return controller().registeredDevices().empty(); }));
  const auto& left = controller().sessionContentController().items();
  ASSERT_FALSE(left.empty());
  EXPECT_TRUE(std::none_of(left.begin(), left.end(), [](const BurnItem& i) { return i.permanent(); }));
}

// A writer removed while its disc waits to mount: the wait ends with it, and
// no "not mounted" comes afterwards for a writer that is not there.
TEST_F(RightDiscTest, AWriterRemovedWhileItsDiscWaitsToMountStaysGone) {
  NoMounting noMounting;
  startWithTheBackupInserted();
  ASSERT_TRUE(waitUntil([&] { return controller().waitingForVolume(); }));
  EXPECT_EQ(settledCount_, 0);  // the status is not settled while its volume is awaited
  ASSERT_TRUE(emulated::removeWriter(writersDir_, "w").ok());
  ASSERT_TRUE(waitUntil([&] { return controller().registeredDevices().empty(); }));
  waitUntil([] { return false; }, std::chrono::milliseconds(2000));
  EXPECT_EQ(status().deviceStatusString, controller().strings().localized("noCdWriter"));
}

TEST_F(RightDiscTest, ADiscNotMountedInTimeSaysSoAndCanBeMountedLaterAndDeadRunsLeaveNoStagingFolder) {
  // Staging folders of runs that died go at start, and only those.
  fs::create_directories(temp_ / "tmp/tessaline-other");  // not one of ours
  auto dead = createStagingFolder(temp_ / "tmp");
  auto alive = createStagingFolder(temp_ / "tmp");
  ASSERT_TRUE(dead && alive);
  writeFile(dead.value().imagePath, std::string(4096, 'x'));
  const fs::path deadRoot = dead.value().privateRoot;
  dead = makeError(ErrorKind::Internal, "let go");  // its lock goes with it, as with a killed run
  NoMounting noMounting;
  startWithTheBackupInserted();
  EXPECT_FALSE(fs::exists(deadRoot));
  EXPECT_TRUE(fs::exists(alive.value().privateRoot));
  EXPECT_TRUE(fs::exists(temp_ / "tmp/tessaline-other"));
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().deviceStatusString, controller().strings().localized("MediaCDR") + QLatin1Char(' ') +
                                             controller().strings().localized("notMounted"));
  EXPECT_TRUE(controller().discNotMounted());
  EXPECT_EQ(controller().mediumSummary().mounted, std::optional<bool>(false));
  controller().addSourceToController(docs());
  controller().attemptBurn();
  EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("cannotBurn/discNotMountedLong"));
  // Once there is room to unpack it, asking for the mount brings the disc in.
  ScopedEnv room("XDG_RUNTIME_DIR", (temp_ / "runtime").string());
  controller().mountDisc();
  // Read again at once: no more "not mounted".
  QCoreApplication::processEvents();
  EXPECT_FALSE(controller().discNotMounted());
  EXPECT_EQ(status().deviceStatusString, controller().strings().localized("MediaCDR"));
  ASSERT_TRUE(waitUntil([&] { return status().title == QStringLiteral("Backup"); }));
  EXPECT_TRUE(status().mountPath.has_value());
}

}  // namespace
}  // namespace tessaline::test
