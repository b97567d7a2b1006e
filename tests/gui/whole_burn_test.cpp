// Whole burns driven through the window on an emulated writer.

#include <QPointer>
#include <QProgressBar>

#include "gui_fixture.h"

namespace tessaline::test {
namespace {

using WholeBurn = GuiFixture;

// Cancel on the Joliet names' question or the imaging sheet burns nothing; a
// burn fills the list with the remounted disc's own entries.
TEST_F(WholeBurn, JolietNamesAreListedFirstAndTheBurnedSourcesComeBackAsGreyDiscItems) {
  const ScopedEnv tool = gateImaging();  // time to cancel on the imaging sheet
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  writeFile(temp_ / "home/Docs/raw-\xff.txt", "latin-1");
  writeFile(temp_ / "home/Docs" / std::string(150, 'L'), "long");
  writeFile(temp_ / "home/Docs/party \xF0\x9F\x8E\x89.txt", "carried whole by UTF-16 Joliet");
  for (const char* name : {"z-\xf1", "z-\xf2", "z-\xf3", "z-\xf4", "z-\xf5"})
    writeFile(temp_ / "home/Docs" / name, "latin-1");
  writeFile(temp_ / "home/notes.txt", "notes");
  app().openFiles({temp_ / "home/Docs", temp_ / "home/notes.txt"});
  QTest::keyClicks(window().nameEdit(), QStringLiteral("Backup"));
  int stops = 0;  // the imaging sheet stopped by its Cancel button, then by Escape when it shows again
  for (const std::string answer : {"Cancel", "Burn", "Burn", "Burn"}) {
    window().burnButton()->click();
    QMessageBox* names = namedBox("jolietNames");
    ASSERT_NE(names, nullptr);
    const QString shown = names->informativeText();
    EXPECT_TRUE(shown.contains(QStringLiteral("Docs/raw-\\xff.txt"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("cut to 103"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("party"))) << shown.toStdString();
    // Five of the seven, and how many more the details hold.
    EXPECT_EQ(shown.count(QStringLiteral(" shows in Joliet as ")), 5) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("\n… and 2 more (Show Details)"))) << shown.toStdString();
    EXPECT_EQ(names->detailedText().count(QStringLiteral(" shows in Joliet as ")), 7);
    EXPECT_EQ(names->icon(), QMessageBox::Information);  // a question, not a warning: the burn may go on
    clickButton(names, QString::fromStdString(answer));
    ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
    if (answer == "Cancel") EXPECT_FALSE(controller().burnInProgress() || outcome_.has_value());
    if (answer == "Cancel" || stops == 2) continue;
    ASSERT_TRUE(waitUntil([&] { return window().imagingSheet().dialog()->isVisible() && !fs::is_empty(temp_ / "tmp"); }));
    // Busy, each time, until the held image tool tells how far it is.
    EXPECT_EQ(window().imagingSheet().dialog()->findChild<QProgressBar*>()->maximum(), 0);
    if (stops++ == 0) window().imagingSheet().cancelButton()->click();
    else QTest::keyClick(window().imagingSheet().dialog(), Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(15)));
    EXPECT_FALSE(outcome_->writingStarted);
    EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs", "notes.txt"}));
    EXPECT_FALSE(window().imagingSheet().dialog()->isVisible());
    EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
    EXPECT_FALSE(shown_.wasShown(QStringLiteral("burnProgressPanel")));
    outcome_.reset();
    if (stops == 2) writeFile(temp_ / "gate", "");
  }
  ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(60)));
  EXPECT_TRUE(outcome_->written) << (outcome_->error ? outcome_->error->message : "");
  EXPECT_TRUE(shown_.wasShown(QStringLiteral("ImagingPanel")));
  EXPECT_TRUE(shown_.wasShown(QStringLiteral("burnProgressPanel")));
  EXPECT_FALSE(window().imagingSheet().dialog()->isVisible());
  ASSERT_TRUE(waitUntil([&] { return window().findChild<gui::JobProgressDialog*>() == nullptr; }));
  EXPECT_EQ(window().progressPanels().runningBurn(), nullptr);  // the closed panel is not asked after it has gone
  // The remounted disc holds them now: nothing is left to burn.
  ASSERT_TRUE(waitUntil([&] { return listNames().size() == 2 && settle(); }, std::chrono::seconds(30)));
  EXPECT_EQ(window().titleLabel()->text(), QStringLiteral("Backup"));
  EXPECT_GT(window().capacityBar()->value(), 0);
  EXPECT_FALSE(window().burnButton()->isEnabled());
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));

  // The names already on the disc are checked too, unless the next session hides them.
  writeFile(temp_ / "home/more.txt", "more");
  app().openFiles({temp_ / "home/more.txt"});
  window().burnButton()->click();
  ASSERT_NE(namedBox("jolietNames"), nullptr);
  EXPECT_TRUE(namedBox("jolietNames")->informativeText().contains(QStringLiteral("cut to 103")));
  clickButton(namedBox("jolietNames"), QStringLiteral("Cancel"));
  ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
  controller().setHidePreviousSessions(true);
  outcome_.reset();
  window().burnButton()->click();
  ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(60)));
  EXPECT_TRUE(outcome_->written);
}

TEST_F(WholeBurn, WhileWritingTheSheetsLeaveQuitWithinReachStopAndQuitAskFirst) {
  // Written at the slowest speed the disc allows, a session takes seconds: time to ask.
  ScopedEnv realSpeed("TESSALINE_EMULATED_SPEED", "1");
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  writeFile(temp_ / "home/Docs/a.txt", std::string(4'000'000, 'a'));
  const auto burnUntilWriting = [&] {
    app().openFiles({temp_ / "home/Docs"});  // again after a stop: a burn's end empties the list
    window().speedCombo()->setCurrentIndex(window().speedCombo()->findData(4));
    window().burnButton()->click();
    return waitUntil([&] { return window().progressPanels().runningBurn() != nullptr; }, std::chrono::seconds(30));
  };
  ASSERT_TRUE(burnUntilWriting());
  // Nothing modal blocks the window's close and Ctrl+Q; its own controls are off.
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(window().centralWidget()->isEnabled());
  QMenu* writerMenu = window().findChild<QMenu*>(QStringLiteral("writerActionsMenu"));
  EXPECT_FALSE(writerMenu->isEnabled());  // no inserting, ejecting or deleting discs under a burn
  EXPECT_FALSE(window().action("addAction")->isEnabled());
  auto* panel = window().findChild<gui::JobProgressDialog*>(QStringLiteral("burnProgressPanel"));
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->windowTitle(), QStringLiteral("Burning session..."));
  // Quitting asks; Keep Burning keeps the window.
  window().action("quitAction")->trigger();
  ASSERT_NE(namedBox("quitDuringWork"), nullptr);
  EXPECT_EQ(namedBox("quitDuringWork")->parentWidget(), panel);
  EXPECT_FALSE(window().close());  // asked twice, the question stands once
  EXPECT_EQ(panel->findChildren<QMessageBox*>(QStringLiteral("quitDuringWork")).size(), 1);
  clickButton(namedBox("quitDuringWork"), QStringLiteral("Keep Burning"));
  ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
  EXPECT_TRUE(window().isVisible());
  // Writing shows how far it has come, not only that something runs.
  const QPointer<QProgressBar> bar = panel->findChild<QProgressBar*>();
  const QPointer<QLabel> phase = panel->findChild<QLabel*>(QStringLiteral("phase"));
  ASSERT_FALSE(bar.isNull() || phase.isNull());
  ASSERT_TRUE(waitUntil([&] {
    return !bar || (bar->maximum() == 1000 && bar->value() > 0 && phase->text().startsWith(QStringLiteral("Writing: ")));
  }, std::chrono::seconds(20)));
  ASSERT_FALSE(bar.isNull()) << "the burn ended, and took its panel, before the bar showed how far it had come";
  // Stop asks, and says what a stopped write does to the disc.
  panel->stopButton()->click();
  ASSERT_NE(namedBox("stopQuestion"), nullptr);
  EXPECT_TRUE(namedBox("stopQuestion")->informativeText().contains(QStringLiteral("earlier sessions stay readable")));
  clickButton(namedBox("stopQuestion"), QStringLiteral("Stop"));
  ASSERT_TRUE(waitUntil([&] { return outcome_.has_value(); }, std::chrono::seconds(30)));
  ASSERT_TRUE(outcome_->error.has_value());
  EXPECT_EQ(outcome_->error->kind, ErrorKind::Cancelled);
  EXPECT_TRUE(outcome_->writingStarted);
  EXPECT_TRUE(window().centralWidget()->isEnabled());
  EXPECT_TRUE(writerMenu->isEnabled());
  // Closing asks too; Quit Anyway closes, and quitting leaves nothing behind.
  ASSERT_TRUE(settle());
  ASSERT_TRUE(burnUntilWriting());
  EXPECT_FALSE(window().close());
  ASSERT_NE(namedBox("quitDuringWork"), nullptr);
  EXPECT_TRUE(namedBox("quitDuringWork")->informativeText().contains(QStringLiteral("half-written session")));
  EXPECT_EQ(namedBox("quitDuringWork")->icon(), QMessageBox::Warning);
  clickButton(namedBox("quitDuringWork"), QStringLiteral("Quit Anyway"));
  ASSERT_TRUE(waitUntil([&] { return !window().isVisible(); }));
  app_.reset();  // what quitting does next: the controller and the writer go
  QCoreApplication::processEvents();
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
}

}  // namespace
}  // namespace tessaline::test
