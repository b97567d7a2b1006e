// The disc status record for every kind of medium, and the disc's content
// in the burn list, on real emulated writers.

#include "devices/emulated/emulated_writers.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

class MonitorTest : public ControllerFixture {
 protected:
  QString text(const char* key) { return controller().strings().localized(key); }
  // A disc "Backup" holding Docs/a.txt, Mail/m.txt and a .tessaline.
  fs::path discImage() {
    writeFile(temp_ / "disc/Docs/a.txt", "a");
    writeFile(temp_ / "disc/Mail/m.txt", "m");
    writeFile(temp_ / "disc/.tessaline", "x");
    return makeImage(temp_ / "disc", "Backup");
  }
};

TEST_F(MonitorTest, EachKindOfMediumGetsItsRecord) {
  writeFile(temp_ / "junk.img", std::string(2048 * 400, '\x5a'));
  ScopedEnv wait("TESSALINE_MOUNT_WAIT_S", "1");
  const struct {
    const char* medium;
    bool closed;
    bool withData;
    QString status;
    std::optional<QString> title, eraseable;
  } cases[] = {
      {"cd-r", false, false, QStringLiteral("MediaCDR"), QStringLiteral("untitled"), {}},
      {"cd-rw", true, true, QStringLiteral("MediaCDRW closed"), {}, QStringLiteral("yes")},
      {"cd-rom", false, true, QStringLiteral("MediaCDROM"), {}, {}},
      {"dvd", false, false, QStringLiteral("MediaNotSupported"), {}, {}},
      {nullptr, false, false, QStringLiteral("noDisc"), {}, {}},
      {"cd-r", false, false, QStringLiteral("MediaCDR unsupportedfs"), {}, {}},  // a session that is not ISO 9660
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string name = "w" + std::to_string(i);
    addWriter(name);
    if (cases[i].medium) insert(name, cases[i].medium, cases[i].withData ? std::vector{discImage()} : std::vector<fs::path>{}, cases[i].closed);
  }
  emulated::AppendOptions options;
  options.allowNonIso = true;
  ASSERT_TRUE(emulated::appendSession(writersDir_, "w5", temp_ / "junk.img", false, options).ok());
  start();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.status.toStdString());
    if (i > 0) {
      window_.writerMenu.selected = static_cast<int>(i);
      controller().changeDevice();
      settledCount_ = 0;
    }
    ASSERT_TRUE(settle());
    QStringList words;
    for (const QString& key : c.status.split(QLatin1Char(' '))) words << text(key.toLatin1().constData());
    EXPECT_EQ(status().deviceStatusString, words.join(QLatin1Char(' ')));
    EXPECT_EQ(status().title, c.title);
    EXPECT_EQ(status().eraseable, c.eraseable);
    EXPECT_FALSE(status().mountPath.has_value());
    EXPECT_EQ(status().spaceFree.has_value(), c.title.has_value());
    EXPECT_TRUE(listNames().empty());
    if (i > 0) continue;
    EXPECT_NEAR(status().spaceFree.value_or(0), 700.0f, 0.5f);
    EXPECT_EQ(status().spaceUsed, 0.0f);
  }
}

TEST_F(MonitorTest, AnOpenDiscIsMountedItsEntriesArePermanentOnceAndEjectTakesThemAway) {
  writeFile(temp_ / "home/Docs/a.txt", std::string(2'000'000, 'a'));
  addWriter("w");
  insert("w", "cd-r", {discImage()});
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

  // Ejected: the disc's items go, a source stays at its full size.
  controller().addSourceToController(temp_ / "home/Docs");
  ASSERT_TRUE(emulated::eject(writersDir_, "w").ok());
  ASSERT_TRUE(waitUntil([&] { return status().deviceStatusString == text("noDisc"); }));
  EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs"}));
  EXPECT_DOUBLE_EQ(controller().sessionContentController().items()[0].sizeInMB, 2.0);
}

TEST_F(MonitorTest, NotificationsForOtherWritersOrDuringABurnChangeNothing) {
  // The image tool waits for the gate: the burn stays in progress meanwhile.
  writeFile(temp_ / "bin/mkisofs", "#!/bin/sh\n[ \"$1\" = -version ] || while [ ! -e " + (temp_ / "gate").string() +
                                       " ]; do sleep 0.05; done\nexec xorrisofs \"$@\"\n");
  fs::permissions(temp_ / "bin/mkisofs", fs::perms::owner_all);
  ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin/mkisofs").string());
  addWriter("a");
  addWriter("b");
  insert("a", "cd-r", {discImage()});
  start();
  ASSERT_TRUE(settle());
  const auto before = status();
  ASSERT_EQ(before.title, QStringLiteral("Backup"));
  int changes = 0;
  QObject::connect(&controller().statusController(), &StatusController::contentChanged, [&] { ++changes; });
  insert("b", "cd-rw");
  waitUntil([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(changes, 0);  // not even for a moment

  writeFile(temp_ / "home/New/n.txt", "n");
  controller().addSourceToController(temp_ / "home/New");
  std::optional<BurnOutcome> outcome;
  QObject::connect(&controller(), &appController::burnFinished, [&](const BurnOutcome& o) { outcome = o; });
  controller().attemptBurn();
  ASSERT_TRUE(waitUntil([&] { return controller().burnInProgress(); }));
  controller().deviceStatusChanged(controller().theDevice());  // as the writer reports during the burn
  waitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(status().deviceStatusString, before.deviceStatusString);
  EXPECT_EQ(status().title, before.title);
  EXPECT_EQ(status().mountPath, before.mountPath);
  EXPECT_EQ(listNames().size(), 3u);
  writeFile(temp_ / "gate", "");
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, std::chrono::seconds(60)));
  EXPECT_TRUE(outcome->written);
}

}  // namespace
}  // namespace tessaline::test
