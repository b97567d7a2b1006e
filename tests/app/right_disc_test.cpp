// The burn always goes to the disc the window shows, with the name and the
// sources that belong to it: writers coming and going, refusals after the
// image was built, names offered for one disc, sessions with nothing new.

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
  // A disc "Backup" that holds an older Docs/a.txt.
  fs::path backupImage() {
    writeFile(temp_ / "disc/Docs/a.txt", "old");
    setModTime(temp_ / "disc/Docs/a.txt", 1'000'000'000);
    return makeImage(temp_ / "disc", "Backup");
  }
  int selectWriterNamed(const char* name) {
    const auto& writers = controller().registeredDevices();
    for (std::size_t i = 0; i < writers.size(); ++i) {
      if (writers[i].DRDeviceName == name) {
        window_.writerMenu.selected = static_cast<int>(i);
        controller().changeDevice();
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  std::vector<TrackRecord> tracksOf(const char* writer) {
    auto info = emulated::writerInfo(writersDir_, writer);
    return info && info.value().disc ? info.value().disc->tracks : std::vector<TrackRecord>{};
  }
};

TEST_F(RightDiscTest, AWriterAppearingSwitchesEverythingToTheWriterNowSelected) {
  addWriter("a");
  addWriter("c");
  insert("a", "cd-r");
  insert("c", "cd-r", {backupImage()});
  start();
  ASSERT_TRUE(settle());
  ASSERT_GE(selectWriterNamed("c"), 0);
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

  // A burn now writes all of Docs onto a's disc and leaves c's alone.
  controller().addSourceToController(docs());
  const auto outcome = burnAndWait();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->written);
  EXPECT_EQ(tracksOf("a").size(), 1u);
  EXPECT_EQ(tracksOf("c").size(), 1u);
  const auto listing = runProgram("xorriso", {"-indev", (writersDir_ / "a/medium.img").string(), "-find", "/Docs"});
  EXPECT_NE(listing.out.find("sub/b.txt"), std::string::npos) << listing.out;
}

TEST_F(RightDiscTest, NothingNewWritesNoSessionAndSaysTheDiscIsUpToDate) {
  addWriter("w");
  insert("w", "cd-r");
  prefs().setValue(prefs::storeBurnConfiguration, true);
  start();
  ASSERT_TRUE(settle());
  const fs::path source = docs();
  fs::create_symlink(temp_ / "nowhere", source / "broken");  // a link whose target is gone
  controller().addSourceToController(source);
  ASSERT_TRUE(burnAndWait().value().written);
  ASSERT_TRUE(settle());
  ASSERT_EQ(tracksOf("w").size(), 1u);

  // The disc brought Docs back; nothing changed since.
  window_.alerts.clear();
  const auto again = burnAndWait();
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(again->upToDate);
  EXPECT_FALSE(again->written);
  EXPECT_EQ(tracksOf("w").size(), 1u);
  ASSERT_FALSE(window_.alerts.empty());
  EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("discUpToDate/discUpToDateLong"));
  EXPECT_EQ(window_.alerts.back().request.style, AlertStyle::Informational);
  EXPECT_FALSE(controller().burnInProgress());
  const auto names = listNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "Docs"), names.end());  // the list stays

  // One changed file is enough for a session.
  writeFile(source / "sub/b.txt", "changed");
  setModTime(source / "sub/b.txt", modTime(source / "a.txt") + 60);
  ASSERT_TRUE(settle());
  EXPECT_TRUE(burnAndWait().value().written);
  EXPECT_EQ(tracksOf("w").size(), 2u);
}

TEST_F(RightDiscTest, ADiscNotMountedInTimeSaysSoAndCanBeMountedLater) {
  // Nowhere to unpack the disc: its volume never appears.
  ScopedEnv runtime("XDG_RUNTIME_DIR", "/proc/self/nowhere");
  ScopedEnv cache("XDG_CACHE_HOME", "/proc/self/nowhere");
  ScopedEnv wait("TESSALINE_MOUNT_WAIT_S", "1");
  addWriter("w");
  insert("w", "cd-r", {backupImage()});
  start();
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
  ASSERT_TRUE(waitUntil([&] { return status().title == QStringLiteral("Backup"); }));
  EXPECT_TRUE(status().mountPath.has_value());
  EXPECT_FALSE(controller().discNotMounted());
}

TEST_F(RightDiscTest, CancellingBeforeTheWriteLeavesTheDiscTheListAndNoFiles) {
  // A tool slow enough to be stopped while it builds the image.
  writeFile(temp_ / "bin/mkisofs", "#!/bin/sh\nsleep 30\n");
  fs::permissions(temp_ / "bin/mkisofs", fs::perms::owner_all);
  ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin/mkisofs").string());
  ScopedEnv tmp("TMPDIR", (temp_ / "tmp").string());
  fs::create_directories(temp_ / "tmp");
  addWriter("w");
  insert("w", "cd-r");
  start();
  ASSERT_TRUE(settle());
  controller().addSourceToController(docs());
  std::optional<BurnOutcome> outcome;
  QObject::connect(&controller(), &appController::burnFinished, [&](const BurnOutcome& o) { outcome = o; });
  controller().attemptBurn();
  ASSERT_TRUE(waitUntil([&] { return !fs::is_empty(temp_ / "tmp") && controller().burnInProgress(); }));
  waitUntil([] { return false; }, std::chrono::milliseconds(300));
  controller().cancelBurn();
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, std::chrono::seconds(10)));
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->kind, ErrorKind::Cancelled);
  EXPECT_FALSE(outcome->writingStarted);
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
  EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs"}));
  EXPECT_TRUE(tracksOf("w").empty());
  EXPECT_FALSE(controller().burnInProgress());
}

TEST_F(RightDiscTest, StagingFoldersOfRunsThatDiedAreRemovedAtStartAndOnlyThose) {
  ScopedEnv tmp("TMPDIR", (temp_ / "tmp").string());
  fs::create_directories(temp_ / "tmp");
  auto dead = createStagingFolder(temp_ / "tmp");
  auto alive = createStagingFolder(temp_ / "tmp");
  ASSERT_TRUE(dead && alive);
  writeFile(dead.value().imagePath, std::string(4096, 'x'));
  const fs::path deadRoot = dead.value().privateRoot;
  dead = makeError(ErrorKind::Internal, "let go");  // its lock goes with it, as with a killed run
  fs::create_directories(temp_ / "tmp/tessaline-other");  // not one of ours
  addWriter("w");
  start();
  EXPECT_FALSE(fs::exists(deadRoot));
  EXPECT_TRUE(fs::exists(alive.value().privateRoot));
  EXPECT_TRUE(fs::exists(temp_ / "tmp/tessaline-other"));
}

}  // namespace
}  // namespace tessaline::test
