// The volume-name field, the spinner, the preferences panel and the saved window frame.

#include "app/cd_name_formatter.h"
#include "gui/preferences_panel.h"
#include "gui_fixture.h"
#include "window_look.h"

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
  // What the field cannot be made to send: a caret outside the text, half a character.
  const CDNameFormatter f;
  for (const auto& [text, caret] : std::vector<std::pair<QString, int>>{
           {QString(17, QLatin1Char('a')), 1}, {QStringLiteral("Ba") + QString::fromUtf8("\xF0\x9F\x98\x80"), 4},
           {QStringLiteral("abc"), 4}, {QStringLiteral("abc"), -1}, {QStringLiteral("a"), 1000}})
    EXPECT_FALSE(f.isPartialStringValid(text, caret)) << text.toStdString() << " at " << caret;
  int allowed = 0;
  for (int u = 0; u < 0x3000; ++u) allowed += CDNameFormatter::isAllowedCharacter(QChar(static_cast<char16_t>(u)));
  EXPECT_EQ(allowed, 67);  // letters, digits and five marks
}

// Turns while any size computation runs (they nest), then rests without repainting.
TEST(BusySpinner, TurnsUntilTheLastWorkEndsThenRests) {
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override { return (paints += e->type() == QEvent::Paint), false; }
  } counter;
  gui::BusySpinner spinner;
  spinner.installEventFilter(&counter);
  spinner.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&spinner));
  spinner.startAnimation();
  spinner.startAnimation();
  spinner.stopAnimation();
  EXPECT_TRUE(spinner.isAnimating());
  counter.paints = 0;
  QTest::qWait(300);
  EXPECT_GE(counter.paints, 1);
  EXPECT_LE(counter.paints, 10);  // a frame at a time, not as fast as the loop turns
  // Its spokes go all round: ink above and below its middle.
  const QImage drawn = spinner.grab().toImage();
  const auto inked = [&](int top, int bottom) {
    for (int y = top; y < bottom; ++y)
      for (int x = 0; x < drawn.width(); ++x)
        if (drawn.pixel(x, y) != drawn.pixel(0, 0)) return true;
    return false;
  };
  EXPECT_TRUE(inked(0, drawn.height() / 2 - 1));
  EXPECT_TRUE(inked(drawn.height() / 2 + 1, drawn.height()));
  spinner.stopAnimation();
  spinner.stopAnimation();  // one too many changes nothing
  EXPECT_FALSE(spinner.isAnimating());
  QTest::qWait(100);
  counter.paints = 0;
  QTest::qWait(300);
  EXPECT_EQ(counter.paints, 0);
  spinner.startAnimation();
  EXPECT_TRUE(spinner.isAnimating());
}

TEST_F(Controls, TheWindowIsCentredFirstKeepsItsFrameAndItsPreferencesPanelWritesTheSwitches) {
  addWriter("rec");
  start(false);
  const QRect screen = window().screen()->availableGeometry();
  EXPECT_LE((window().frameGeometry().center() - screen.center()).manhattanLength(), 4);
  ASSERT_TRUE(settle());  // the menus' and buttons' states follow the writer's
  writeFile(temp_ / "home/notes.txt", "n");
  controller().addSourceToController(temp_ / "home/notes.txt");  // a row, for how the cells sit
  expectLook(window(), "main_window");
  // The layout places every control: none lies over another.
  const auto controls = window().centralWidget()->findChildren<QWidget*>();
  for (QWidget* a : controls)
    for (QWidget* b : controls) {
      if (a >= b || !a->isVisible() || !b->isVisible() || a->isAncestorOf(b) || b->isAncestorOf(a)) continue;
      const QRect overlap = QRect(a->mapTo(&window(), QPoint()), a->size()) & QRect(b->mapTo(&window(), QPoint()), b->size());
      EXPECT_TRUE(overlap.isEmpty()) << a->metaObject()->className() << " " << a->objectName().toStdString() << " over "
                                     << b->metaObject()->className() << " " << b->objectName().toStdString();
    }
  gui::PreferencesPanel* panel = window().preferencePanel();
  ASSERT_NE(panel, nullptr);
  EXPECT_FALSE(panel->box(prefs::disableUpdateCheck)->isChecked());
  EXPECT_EQ(panel->box(prefs::disableVerification)->text(), QStringLiteral("Verify the disc after burning"));
  // A key that turns a step off is shown as the step's box, ticked while absent.
  for (const char* key : kPreferenceSwitches) {
    if (std::string(key) == prefs::disableUpdateCheck) continue;
    const bool turnsAStepOff = std::string(key).find("isable") != std::string::npos;
    EXPECT_EQ(panel->box(key)->isChecked(), turnsAStepOff) << key;
    panel->box(key)->click();
    EXPECT_TRUE(prefs().boolForKey(key)) << key;
  }
  panel->box(prefs::storeBurnConfiguration)->click();
  EXPECT_FALSE(prefs().boolForKey(prefs::storeBurnConfiguration));
  // Changed elsewhere (tessaline-cli config): shown when the panel opens.
  prefs().setValue(prefs::disableVerification, false);
  window().showPreferences();
  window().activateWindow();  // the open panel is behind the window now
  ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &window(); }));
  window().showPreferences();
  EXPECT_TRUE(panel->box(prefs::disableVerification)->isChecked());
  EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == panel; }));  // in front, taking the keys
  expectLook(*panel, "preferences_panel");
  panel->close();
  EXPECT_FALSE(prefs().valueForKey(prefs::mainWindowFrame).has_value());
  window().setGeometry(40, 60, 700, 560);
  const QRect placed = window().geometry();
  window().showPreferences();
  window().close();
  EXPECT_FALSE(panel->isVisible());  // the panel goes with the window
  EXPECT_TRUE(prefs().valueForKey(prefs::mainWindowFrame).has_value());
  app_.reset();
  start(false);
  EXPECT_EQ(window().geometry(), placed);
  window().showPreferences();  // on the screen's centre, not the window's
  EXPECT_LE((window().preferencePanel()->frameGeometry().center() - screen.center()).manhattanLength(), 4);
}

}  // namespace
}  // namespace tessaline::test
