// Start-up order, the no-writer alert, preferences read when needed.

#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

using StartupTest = ControllerFixture;

TEST_F(StartupTest, NoWriterShowsOneQuitAlertAndTerminates) {
  start();
  ASSERT_EQ(window_.alerts.size(), 1u);
  const auto& alert = window_.alerts.front().request;
  EXPECT_EQ(alert.messageKey, QStringLiteral("noCdWriter"));
  EXPECT_EQ(alert.informativeKey, QStringLiteral("noCdWriterLong"));
  EXPECT_EQ(alert.buttonKeys, QStringList{QStringLiteral("Quit")});
  EXPECT_EQ(alert.style, AlertStyle::Warning);
  // Drops and the formatter are set up before the user answers.
  EXPECT_TRUE(window_.dropsRegistered);
  EXPECT_TRUE(window_.formatterSet);
  EXPECT_TRUE(window_.writerMenu.items.isEmpty());
  EXPECT_TRUE(waitUntil([&] { return window_.terminated; }));
}

TEST_F(StartupTest, FirstWriterIsSelectedReservedAndWatched) {
  addWriter("b-writer", QStringLiteral("Second"));
  addWriter("a-writer", QStringLiteral("First"));
  insert("a-writer", "cd-r");
  start();
  EXPECT_TRUE(window_.alerts.empty());
  EXPECT_EQ(window_.writerMenu.items, (QStringList{QStringLiteral("First"), QStringLiteral("Second")}));
  EXPECT_EQ(window_.writerMenu.selected, 0);
  ASSERT_TRUE(controller().theDevice());
  EXPECT_EQ(controller().theDevice()->displayName(), QStringLiteral("First"));
  EXPECT_TRUE(waitUntil([&] { return controller().theDevice()->mediumState().reserved; }));
  // The first status notification fills the record.
  ASSERT_TRUE(settle());
  EXPECT_EQ(status().title, QStringLiteral("untitled"));
  EXPECT_TRUE(window_.dropsRegistered);
  EXPECT_TRUE(window_.formatterSet);
}

TEST_F(StartupTest, WindowIsCentredOnlyWithoutASavedFrameThePanelAlways) {
  start();
  EXPECT_TRUE(window_.centered);
  EXPECT_TRUE(window_.preferencePanelCentered);
  EXPECT_EQ(window_.background, QStringLiteral("phead.png"));
  EXPECT_TRUE(window_.spinner.threaded);

  RecordingWindow second;
  prefs().setValue(prefs::mainWindowFrame, QStringLiteral("100 100 640 480 0 0 1920 1080"));
  controller().connectOutlets(second.parts());
  controller().awakeFromNib();
  EXPECT_FALSE(second.centered);
  EXPECT_TRUE(second.preferencePanelCentered);
}

TEST_F(StartupTest, BecomingActiveRefreshesSizesExceptDuringABurn) {
  addWriter("w");
  insert("w", "cd-r");
  start();
  ASSERT_TRUE(settle());
  writeFile(temp_ / "src/a.bin", std::string(1'000'000, 'x'));
  controller().addSourceToController(temp_ / "src");
  EXPECT_DOUBLE_EQ(controller().sessionContentController().items().at(0).sizeInMB, 1.0);
  writeFile(temp_ / "src/b.bin", std::string(500'000, 'y'));
  controller().applicationDidBecomeActive();
  EXPECT_DOUBLE_EQ(controller().sessionContentController().items().at(0).sizeInMB, 1.5);
  EXPECT_TRUE(controller().applicationShouldTerminateAfterLastWindowClosed());
}

TEST(Preferences, SwitchesReadAsSetOnlyForTrueValuesAndAreReadWhenNeeded) {
  TempDir temp;
  Preferences writer(QString::fromStdString((temp / "p.conf").string()));
  Preferences reader(QString::fromStdString((temp / "p.conf").string()));
  EXPECT_FALSE(reader.boolForKey(prefs::storeBurnConfiguration));  // absent
  for (const char* yes : {"1", "true", "yes", "YES", "True"}) {
    writer.setValue(prefs::storeBurnConfiguration, QString::fromLatin1(yes));
    EXPECT_TRUE(reader.boolForKey(prefs::storeBurnConfiguration)) << yes;
  }
  for (const char* no : {"0", "false", "no", "", "maybe"}) {
    writer.setValue(prefs::storeBurnConfiguration, QString::fromLatin1(no));
    EXPECT_FALSE(reader.boolForKey(prefs::storeBurnConfiguration)) << no;
  }
  writer.setValue(prefs::storeBurnConfiguration, true);
  EXPECT_TRUE(reader.boolForKey(prefs::storeBurnConfiguration));
  writer.removeValue(prefs::storeBurnConfiguration);
  EXPECT_FALSE(reader.boolForKey(prefs::storeBurnConfiguration));
  EXPECT_FALSE(reader.valueForKey(prefs::mainWindowFrame).has_value());
  EXPECT_TRUE(Preferences::isKnownKey(QStringLiteral("NSWindow Frame mainWindow")));
  EXPECT_FALSE(Preferences::isKnownKey(QStringLiteral("disableEverything")));
}

TEST(StringTable, EveryKeyTheProgramUsesHasATextAndMissingKeysAreEmpty) {
  const StringTable table = StringTable::builtIn();
  for (const char* key :
       {"OpenDialogAddButton", "noCdWriter", "noCdWriterLong", "Quit", "OK", "Cancel", "Download", "Erase", "update",
        "updateLong", "loadingDisc", "noDisc", "MediaCDR", "MediaCDRW", "MediaCDROM", "MediaNotSupported", "closed",
        "unsupportedfs", "duplicateFilesWarning", "duplicateFilesWarningLong", "cannotBurn", "noCdInDrive",
        "notEnoughSpaceToBurn", "CreateTrackAbortedWithError", "CreateTrackAbortedWithErrorLong", "attempteraseshort",
        "attempteraselong", "burnAlreadyRunning", "writerInUse", "writerReservedElsewhere", "burnFailedToStart", "discChangedDuringImaging", "sourcesUnreadable"})
    EXPECT_FALSE(table.localized(key).isEmpty()) << key;
  EXPECT_TRUE(table.localized("noSuchKey").isEmpty());
}

TEST(StringTable, ParsesEscapesAndCommentsAndRejectsBrokenText) {
  const auto table = parseStringTable(
      "/* c */ \"a\" = \"x \\\"q\\\" \\\\ \\n\";\n// line\n\"b\"=\"\";");
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->value(QStringLiteral("a")), QStringLiteral("x \"q\" \\ \n"));
  EXPECT_TRUE(table->contains(QStringLiteral("b")));
  EXPECT_FALSE(parseStringTable("\"a\" = \"x\"").has_value());  // no semicolon
  EXPECT_FALSE(parseStringTable("\"a\" \"x\";").has_value());   // no equals sign
  EXPECT_FALSE(parseStringTable("\"a\" = \"x;").has_value());   // unterminated
}

TEST(Records, NamesThatAreNotUtf8AreShownReadablyAndDistinctly) {
  EXPECT_EQ(displayName("Docs"), QStringLiteral("Docs"));
  EXPECT_EQ(displayName("caf\xc3\xa9"), QStringLiteral("café"));
  EXPECT_EQ(displayName("caf\xe9"), QStringLiteral("caf\\xe9"));
  EXPECT_NE(displayName("a\xff"), displayName("a\xfe"));
  EXPECT_EQ(lastPathComponent("/a/b/"), "b");
  EXPECT_EQ(lastPathComponent("/a/b"), "b");
  EXPECT_EQ(lastPathComponent("b"), "b");
}

}  // namespace
}  // namespace tessaline::test
