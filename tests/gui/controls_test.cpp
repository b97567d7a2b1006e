// The volume-name field, the menus, the preferences panel and the saved
// window frame.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include "gui/preferences_panel.h"
#include "gui_fixture.h"

namespace tessaline::test {
namespace {

class Controls : public GuiFixture {};

TEST_F(Controls, TheVolumeNameFieldTakesOnlyWhatTheFormatterAllows) {
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  QLineEdit* field = window().nameEdit();
  EXPECT_EQ(field->placeholderText(), QStringLiteral("my CDROM"));
  EXPECT_EQ(window().nameField().stringValue(), QStringLiteral(" "));

  QTest::keyClicks(field, QStringLiteral("Backup_2024-v.1+"));  // 16 characters
  EXPECT_EQ(field->text(), QStringLiteral("Backup_2024-v.1+"));
  QTest::keyClick(field, Qt::Key_X);  // a 17th
  EXPECT_EQ(field->text(), QStringLiteral("Backup_2024-v.1+"));

  field->clear();
  QTest::keyClicks(field, QStringLiteral("a/b:c"));
  QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QStringLiteral("\u00e9"), Qt::NoModifier);
  QTest::keyClicks(field, QStringLiteral(" d"));
  EXPECT_EQ(field->text(), QStringLiteral("abc d"));
  EXPECT_EQ(window().nameField().stringValue(), QStringLiteral("abc d"));

  // Deleting is always possible, also the first character.
  field->setCursorPosition(1);
  QTest::keyClick(field, Qt::Key_Backspace);
  EXPECT_EQ(field->text(), QStringLiteral("bc d"));

  // A paste is judged by its last character.
  field->end(false);
  field->insert(QStringLiteral("x/y"));
  EXPECT_EQ(field->text(), QStringLiteral("bc dx/y"));

  field->clear();
  EXPECT_EQ(window().nameField().stringValue(), QStringLiteral(" "));
}

TEST_F(Controls, MenusCarryTheirTagsAndShortcuts) {
  addWriter("rec", QStringLiteral("Test Recorder"));
  insert("rec", "cd-r");
  start();
  QComboBox* speed = window().speedCombo();
  QStringList titles;
  QList<int> tags;
  for (int i = 0; i < speed->count(); ++i) {
    titles << speed->itemText(i);
    tags << speed->itemData(i).toInt();
  }
  EXPECT_EQ(titles.front(), QStringLiteral("Maximum"));
  EXPECT_EQ(titles[2], QStringLiteral("8x"));
  speed->setCurrentIndex(2);
  EXPECT_EQ(window().parts().speedMenue->selectedTag(), 8);

  ASSERT_EQ(window().writerCombo()->count(), 1);
  EXPECT_EQ(window().writerCombo()->itemText(0), QStringLiteral("Test Recorder"));

  auto shortcut = [&](const char* name) { return window().action(name)->shortcut(); };
  EXPECT_EQ(shortcut("addAction"), QKeySequence(Qt::CTRL | Qt::Key_O));
  EXPECT_EQ(shortcut("removeAction"), QKeySequence(QKeySequence::Delete));
  EXPECT_EQ(shortcut("burnAction"), QKeySequence(Qt::CTRL | Qt::Key_B));
  EXPECT_EQ(shortcut("preferencesAction"), QKeySequence(Qt::CTRL | Qt::Key_Comma));
  EXPECT_EQ(shortcut("quitAction"), QKeySequence(Qt::CTRL | Qt::Key_Q));
  EXPECT_NE(window().action("websiteAction"), nullptr);
  EXPECT_NE(window().action("updateAction"), nullptr);
}

TEST_F(Controls, TheWriterMenuEjectsAndInsertsOnTheEmulatedWriter) {
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  EXPECT_TRUE(window().writerMenu()->menuAction()->isVisible());
  EXPECT_TRUE(window().action("ejectAction")->isEnabled());
  EXPECT_FALSE(window().action("insertCDRWAction")->isEnabled());
  const QString noDisc = controller().strings().localized("noDisc");
  window().action("ejectAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == noDisc; }, std::chrono::seconds(10)));
  ASSERT_TRUE(waitUntil([&] { return window().action("insertCDRWAction")->isEnabled(); }));
  window().action("insertCDRWAction")->trigger();
  const QString cdrw = controller().strings().localized("MediaCDRW");
  ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == cdrw; }, std::chrono::seconds(10)));
  EXPECT_EQ(window().titleLabel()->text(), QStringLiteral("untitled"));
  // A blank CD-RW has nothing to erase.
  EXPECT_FALSE(window().eraseButton()->isEnabled());

  // The ejected CD-R waits on the shelf and goes back in from the menu.
  window().action("ejectAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == noDisc; }, std::chrono::seconds(10)));
  auto* shelf = window().findChild<QMenu*>(QStringLiteral("shelfMenu"));
  ASSERT_NE(shelf, nullptr);
  Q_EMIT window().writerMenu()->aboutToShow();
  ASSERT_EQ(shelf->actions().size(), 2);  // the CD-R and the CD-RW
  QAction* cdr = nullptr;
  for (QAction* a : shelf->actions())
    if (a->text().contains(QStringLiteral("CD-R,"))) cdr = a;
  ASSERT_NE(cdr, nullptr);
  ASSERT_TRUE(waitUntil([&] {
    Q_EMIT window().writerMenu()->aboutToShow();
    return shelf->actions().size() == 2 && shelf->actions().front()->isEnabled();
  }));
  for (QAction* a : shelf->actions())
    if (a->text().contains(QStringLiteral("CD-R,"))) a->trigger();
  const QString cdrText = controller().strings().localized("MediaCDR");
  ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == cdrText; }, std::chrono::seconds(10)));
}

TEST_F(Controls, ANameTheProgramOfferedFollowsTheDiscAndATypedOneStays) {
  writeFile(temp_ / "disc/Docs/a.txt", "a");
  addWriter("a");
  addWriter("b");
  insert("a", "cd-r", {makeImage(temp_ / "disc", "Backup")});
  insert("b", "cd-r");
  start();
  ASSERT_TRUE(waitUntil([&] { return window().nameEdit()->text() == QStringLiteral("Backup"); }));
  auto choose = [&](int index) {
    window().writerCombo()->setCurrentIndex(index);
    Q_EMIT window().writerCombo()->activated(index);
    ASSERT_TRUE(settle());
  };
  choose(1);  // b's blank disc has no name to keep
  EXPECT_EQ(window().nameEdit()->text(), QString());
  choose(0);
  EXPECT_EQ(window().nameEdit()->text(), QStringLiteral("Backup"));
  window().nameEdit()->setText(QStringLiteral("Mine"));
  choose(1);
  EXPECT_EQ(window().nameEdit()->text(), QStringLiteral("Mine"));
}

TEST_F(Controls, ThePreferencesPanelWritesTheSwitches) {
  addWriter("rec");
  start(false);
  gui::PreferencesPanel* panel = window().preferencePanel();
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(panel->objectName(), QStringLiteral("preferencePanel"));
  // Set by the fixture before start-up; shown as the check that is off.
  EXPECT_EQ(panel->box(prefs::disableUpdateCheck)->text(), QStringLiteral("Check for a newer release at start-up"));
  EXPECT_FALSE(panel->box(prefs::disableUpdateCheck)->isChecked());
  // A key that turns a step off is the step's box, ticked while the key is
  // absent; a click sets the key in either case.
  for (const char* key : kPreferenceSwitches) {
    if (std::string(key) == prefs::disableUpdateCheck) continue;
    EXPECT_EQ(panel->box(key)->isChecked(), gui::PreferencesPanel::shownInverted(key)) << key;
    panel->box(key)->click();
    EXPECT_TRUE(prefs().boolForKey(key)) << key;
  }
  EXPECT_FALSE(gui::PreferencesPanel::shownInverted(prefs::storeBurnConfiguration));
  EXPECT_NE(panel->findChild<QLabel*>(QStringLiteral("storeBurnConfigurationExplanation")), nullptr);
  panel->box(prefs::storeBurnConfiguration)->click();
  EXPECT_FALSE(prefs().boolForKey(prefs::storeBurnConfiguration));
  // Changed elsewhere (tessaline-cli config): shown when the panel opens.
  prefs().setValue(prefs::disableVerification, false);
  window().showPreferences();
  EXPECT_TRUE(panel->box(prefs::disableVerification)->isChecked());
  panel->close();
}

TEST_F(Controls, TheWindowIsCentredFirstAndKeepsItsFrameAfterwards) {
  addWriter("rec");
  start(false);
  const QRect screen = window().screen()->availableGeometry();
  EXPECT_LE((window().frameGeometry().center() - screen.center()).manhattanLength(), 4);
  EXPECT_FALSE(prefs().valueForKey(prefs::mainWindowFrame).has_value());
  window().setGeometry(40, 60, 700, 560);
  const QRect placed = window().geometry();
  window().close();
  EXPECT_TRUE(prefs().valueForKey(prefs::mainWindowFrame).has_value());
  app_.reset();

  start(false);
  EXPECT_EQ(window().geometry(), placed);
}

}  // namespace
}  // namespace tessaline::test
