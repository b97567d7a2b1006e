// The disc status record for every kind of medium, and the disc's content
// in the burn list, on real emulated writers.

#include "devices/emulated/emulated_writers.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

class MonitorTest : public ControllerFixture {
 protected:
  QString text(const char* key) { return controller().strings().localized(key); }
  // A disc holding Docs/a.txt, Mail/m.txt and a .tessaline listing sources.
  fs::path discImage(const std::string& catalogue = {}, long long docsDate = 0) {
    writeFile(temp_ / "disc/Docs/a.txt", "a");
    if (docsDate != 0) setModTime(temp_ / "disc/Docs/a.txt", docsDate);
    writeFile(temp_ / "disc/Mail/m.txt", "m");
    if (!catalogue.empty()) writeFile(temp_ / "disc/.tessaline", catalogue);
    return makeImage(temp_ / "disc", "Backup");
  }
  std::string catalogueListing(const fs::path& source) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><array><dict><key>aPath</key><string>" +
           source.string() +
           "</string><key>aPathComponent</key><string>Docs</string><key>isPermanent</key><string>0</string>"
           "<key>sizeInMB</key><real>1.0</real></dict>"
           "<dict><key>aPath</key><string>/nowhere/Gone</string></dict></array></plist>\n";
  }
};

TEST_F(MonitorTest, BlankCdrIsUntitledWithFullFreeSpaceAndNoMountPath) {
  addWriter("w");
  insert("w", "cd-r");
  start();
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().deviceStatusString, text("MediaCDR"));
  EXPECT_EQ(status().title, QStringLiteral("untitled"));
  ASSERT_TRUE(status().spaceFree.has_value());
  EXPECT_NEAR(*status().spaceFree, 700.0f, 0.5f);
  EXPECT_EQ(status().spaceUsed, 0.0f);
  EXPECT_FALSE(status().mountPath.has_value());
  EXPECT_FALSE(status().eraseable.has_value());
  EXPECT_TRUE(controller().sessionContentController().items().empty());
}

TEST_F(MonitorTest, ClosedRewritableDiscIsErasableAndSaysClosed) {
  addWriter("w");
  insert("w", "cd-rw", {discImage()}, /*closed=*/true);
  start();
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().deviceStatusString, text("MediaCDRW") + QLatin1Char(' ') + text("closed"));
  EXPECT_EQ(status().eraseable, QStringLiteral("yes"));
  EXPECT_FALSE(status().title.has_value());
  EXPECT_FALSE(status().spaceFree.has_value());
}

TEST_F(MonitorTest, OtherMediaAndNoDiscCarryOnlyTheirText) {
  addWriter("a");
  addWriter("b");
  addWriter("c");
  insert("a", "cd-rom", {discImage()});
  insert("b", "dvd");
  start();
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().deviceStatusString, text("MediaCDROM"));
  EXPECT_FALSE(status().title.has_value());
  for (auto [index, key] : {std::pair{1, "MediaNotSupported"}, std::pair{2, "noDisc"}}) {
    window_.writerMenu.selected = index;
    controller().changeDevice();
    settledCount_ = 0;
    ASSERT_TRUE(settle()) << key;
    EXPECT_EQ(status().deviceStatusString, text(key));
    EXPECT_FALSE(status().title.has_value());
  }
}

TEST_F(MonitorTest, OpenIsoDiscIsMountedAndItsEntriesBecomePermanentItemsOnce) {
  addWriter("w");
  insert("w", "cd-r", {discImage("x")});
  start();
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().deviceStatusString, text("MediaCDR"));
  ASSERT_TRUE(status().mountPath.has_value());
  EXPECT_EQ(status().title, QStringLiteral("Backup"));
  EXPECT_TRUE(fs::exists(*status().mountPath / "Docs/a.txt"));
  auto names = listNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Docs", "Mail"}));  // never ".tessaline"
  for (const auto& item : controller().sessionContentController().items()) {
    EXPECT_EQ(item.isPermanent, "1");
    EXPECT_EQ(item.sizeInMB, 0.0);
    EXPECT_EQ(item.aPath, *status().mountPath / item.aPathComponent);
    EXPECT_EQ(item.aIcon.toString(), QStringLiteral("oncd.png"));
  }
  EXPECT_FALSE(controller().shouldSelectRow(0));

  // Another report for the same mounted disc does not add the items again.
  controller().deviceStatusChanged(controller().theDevice());
  ASSERT_TRUE(settle());
  EXPECT_EQ(listNames().size(), 2u);
}

TEST_F(MonitorTest, StoredSourcesComeBackOnlyWithThePreferenceAndOnlyIfTheyExist) {
  writeFile(temp_ / "home/Docs/a.txt", "a");
  setModTime(temp_ / "home/Docs/a.txt", 1'000'000'000);
  addWriter("w");
  insert("w", "cd-r", {discImage(catalogueListing(temp_ / "home/Docs"), 1'000'000'000)});
  prefs().setValue(prefs::storeBurnConfiguration, true);
  start();
  ASSERT_TRUE(settle());
  const auto& items = controller().sessionContentController().items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].aPath, temp_ / "home/Docs");
  EXPECT_EQ(items[2].isPermanent, "0");
  // Same name on the disc: the incremental size, and the disc's a.txt is
  // the source's, so nothing is left to write.
  EXPECT_EQ(items[2].sizeInMB, 0.0);
}

TEST_F(MonitorTest, WithoutThePreferenceTheDiscIsLoadedButNoSourcesRestored) {
  writeFile(temp_ / "home/Docs/a.txt", "a");
  addWriter("w");
  insert("w", "cd-r", {discImage(catalogueListing(temp_ / "home/Docs"))});
  start();
  ASSERT_TRUE(settle());
  EXPECT_TRUE(status().mountPath.has_value());
  EXPECT_EQ(listNames().size(), 2u);
}

TEST_F(MonitorTest, EjectRemovesThePermanentItemsAndKeepsSourcesAtFullSize) {
  writeFile(temp_ / "home/Docs/a.txt", std::string(2'000'000, 'a'));
  addWriter("w");
  insert("w", "cd-r", {discImage()});
  start();
  ASSERT_TRUE(settle());
  controller().addSourceToController(temp_ / "home/Docs");
  EXPECT_EQ(listNames().size(), 3u);
  ASSERT_TRUE(emulated::eject(writersDir_, "w").ok());
  ASSERT_TRUE(waitUntil([&] { return status().deviceStatusString == text("noDisc"); }));
  EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs"}));
  EXPECT_DOUBLE_EQ(controller().sessionContentController().items()[0].sizeInMB, 2.0);
}

TEST_F(MonitorTest, ADiscThatIsNotIso9660ShowsUnsupportedAfterABoundedWait) {
  writeFile(temp_ / "junk.img", std::string(2048 * 400, '\x5a'));
  ScopedEnv wait("TESSALINE_MOUNT_WAIT_S", "1");
  addWriter("w");
  insert("w", "cd-r");
  emulated::AppendOptions options;
  options.allowNonIso = true;
  ASSERT_TRUE(emulated::appendSession(writersDir_, "w", temp_ / "junk.img", false, options).ok());
  start();
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().deviceStatusString, text("MediaCDR") + QLatin1Char(' ') + text("unsupportedfs"));
  EXPECT_FALSE(status().title.has_value());
  EXPECT_FALSE(status().mountPath.has_value());
}

TEST_F(MonitorTest, ChoosingAnotherWriterReadsItsMediumAndDropsTheOtherDiscsItems) {
  addWriter("a");
  addWriter("b");
  insert("a", "cd-r", {discImage()});
  start();
  ASSERT_TRUE(settle());
  ASSERT_EQ(listNames().size(), 2u);
  window_.writerMenu.selected = 1;
  controller().changeDevice();
  ASSERT_TRUE(waitUntil([&] { return status().deviceStatusString == text("noDisc"); }));
  EXPECT_TRUE(listNames().empty());
  EXPECT_FALSE(status().mountPath.has_value());
}

TEST_F(MonitorTest, NotificationsForOtherWritersOrDuringABurnChangeNothing) {
  addWriter("a");
  addWriter("b");
  insert("a", "cd-r");
  start();
  ASSERT_TRUE(settle());
  const auto before = status().deviceStatusString;
  ASSERT_TRUE(emulated::eject(writersDir_, "b").ok() || true);
  insert("b", "cd-rw");
  waitUntil([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(status().deviceStatusString, before);
  EXPECT_EQ(status().title, QStringLiteral("untitled"));
}

}  // namespace
}  // namespace tessaline::test
