// Whole burns driven through the window on an emulated writer.

#include "gui_fixture.h"

namespace tessaline::test {
namespace {

class WholeBurn : public GuiFixture {};

// Cancel on the Joliet names' question or the imaging sheet burns nothing; a
// burn fills the list with the remounted disc's own, grey, entries.
TEST_F(WholeBurn, JolietNamesAreListedFirstAndTheBurnedSourcesComeBackAsGreyDiscItems) {
  // The image tool waits for the gate: time to cancel on the imaging sheet.
  writeFile(temp_ / "bin/mkisofs", "#!/bin/sh\n[ \"$1\" = -version ] || while [ ! -e " + (temp_ / "gate").string() +
                                       " ]; do sleep 0.05; done\nexec xorrisofs \"$@\"\n");
  fs::permissions(temp_ / "bin/mkisofs", fs::perms::owner_all);
  ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin/mkisofs").string());
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  writeFile(temp_ / "home/Docs/raw-\xff.txt", "latin-1");
  writeFile(temp_ / "home/Docs" / std::string(150, 'L'), "long");
  writeFile(temp_ / "home/Docs/party \xF0\x9F\x8E\x89.txt", "carried whole by UTF-16 Joliet");
  writeFile(temp_ / "home/notes.txt", "notes");
  app().openFiles({temp_ / "home/Docs", temp_ / "home/notes.txt"});
  QTest::keyClicks(window().nameEdit(), QStringLiteral("Backup"));
  const auto namesBox = [&] { return window().findChild<QMessageBox*>(QStringLiteral("jolietNames")); };
  for (const char* answer : {"Cancel", "Burn", "Burn"}) {
    window().burnButton()->click();
    ASSERT_TRUE(waitUntil([&] { return namesBox() != nullptr && namesBox()->isVisible(); }));
    const QString shown = namesBox()->informativeText();
    EXPECT_TRUE(shown.contains(QStringLiteral("Docs/raw-\\xff.txt"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("cut to 103"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("party"))) << shown.toStdString();
    clickButton(namesBox(), QString::fromLatin1(answer));
    ASSERT_TRUE(waitUntil([&] { return namesBox() == nullptr; }));
    if (answer == std::string("Cancel")) EXPECT_FALSE(controller().burnInProgress() || outcome_.has_value());
    if (answer == std::string("Cancel") || fs::exists(temp_ / "gate")) continue;
    ASSERT_TRUE(waitUntil([&] { return window().imagingSheet().dialog()->isVisible() && !fs::is_empty(temp_ / "tmp"); }));
    window().imagingSheet().cancelButton()->click();
    ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(15)));
    EXPECT_FALSE(outcome_->writingStarted);
    EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs", "notes.txt"}));
    EXPECT_FALSE(window().imagingSheet().dialog()->isVisible());
    EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
    EXPECT_FALSE(shown_.wasShown(QStringLiteral("burnProgressPanel")));
    outcome_.reset();
    writeFile(temp_ / "gate", "");
  }
  ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(60)));
  EXPECT_TRUE(outcome_->written) << (outcome_->error ? outcome_->error->message : "");
  EXPECT_TRUE(shown_.wasShown(QStringLiteral("ImagingPanel")));
  EXPECT_TRUE(shown_.wasShown(QStringLiteral("burnProgressPanel")));
  EXPECT_FALSE(window().imagingSheet().dialog()->isVisible());
  ASSERT_TRUE(waitUntil([&] { return listNames().size() == 2 && settle(); }, std::chrono::seconds(30)));
  EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs", "notes.txt"}));
  auto& model = controller().sessionContentController();
  for (int row = 0; row < model.rowCount(); ++row)
    EXPECT_EQ(gui::rowTextColour(model.index(row, 0)), QColor(QStringLiteral("gray")));
  EXPECT_EQ(window().titleLabel()->text(), QStringLiteral("Backup"));
  EXPECT_GT(window().capacityBar()->value(), 0);
  EXPECT_FALSE(window().burnButton()->isEnabled());  // nothing new to burn
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
}

TEST_F(WholeBurn, WhileWritingTheSheetsLeaveQuitWithinReachStopAndQuitAskFirst) {
  // Written at the slowest speed the disc allows, a session takes seconds: time to ask.
  ScopedEnv realSpeed("TESSALINE_EMULATED_SPEED", "1");
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  writeFile(temp_ / "home/Docs/a.txt", std::string(4'000'000, 'a'));
  const auto question = [&](const char* name) {
    QMessageBox* box = nullptr;
    waitUntil([&] { return (box = window().findChild<QMessageBox*>(QString::fromLatin1(name))) && box->isVisible(); });
    return box;
  };
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stop" : "quit");
    app().openFiles({temp_ / "home/Docs"});  // kept after a stop: a second time only beeps
    window().speedCombo()->setCurrentIndex(window().speedCombo()->findData(4));
    ASSERT_TRUE(window().burnButton()->isEnabled());
    window().burnButton()->click();
    ASSERT_TRUE(waitUntil([&] { return window().progressPanels().runningBurn() != nullptr; }, std::chrono::seconds(30)));
    // Nothing modal blocks the window's close and Ctrl+Q; its own controls are off.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(window().centralWidget()->isEnabled());
    auto* panel = window().findChild<gui::JobProgressDialog*>(QStringLiteral("burnProgressPanel"));
    ASSERT_NE(panel, nullptr);
    if (stop) {
      // Quitting asks; Keep Burning keeps the window.
      window().action("quitAction")->trigger();
      ASSERT_NE(question("quitDuringWork"), nullptr);
      EXPECT_EQ(question("quitDuringWork")->parentWidget(), panel);
      clickButton(question("quitDuringWork"), QStringLiteral("Keep Burning"));
      ASSERT_TRUE(waitUntil([&] { return !window().findChild<QMessageBox*>(QStringLiteral("quitDuringWork")); }));
      EXPECT_TRUE(window().isVisible());
      // Stop asks, and says what a stopped write does to the disc.
      panel->stopButton()->click();
      ASSERT_NE(question("stopQuestion"), nullptr);
      EXPECT_TRUE(question("stopQuestion")->informativeText().contains(QStringLiteral("earlier sessions stay readable")));
      clickButton(question("stopQuestion"), QStringLiteral("Stop"));
      ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(30)));
      ASSERT_TRUE(outcome_->error.has_value());
      EXPECT_EQ(outcome_->error->kind, ErrorKind::Cancelled);
      EXPECT_TRUE(outcome_->writingStarted);
      EXPECT_TRUE(window().centralWidget()->isEnabled());
      ASSERT_TRUE(settle());
      continue;
    }
    // Closing asks too; Quit Anyway closes, and quitting leaves nothing behind.
    EXPECT_FALSE(window().close());
    ASSERT_NE(question("quitDuringWork"), nullptr);
    EXPECT_TRUE(question("quitDuringWork")->informativeText().contains(QStringLiteral("half-written session")));
    clickButton(question("quitDuringWork"), QStringLiteral("Quit Anyway"));
    ASSERT_TRUE(waitUntil([&] { return !window().isVisible(); }));
    app_.reset();  // what quitting does next: the controller and the writer go
    QCoreApplication::processEvents();
    EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
  }
}

}  // namespace
}  // namespace tessaline::test
