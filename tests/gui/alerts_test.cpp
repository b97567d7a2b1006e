// The controller's alerts as message boxes, and quitting while a burn runs.

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QTest>

#include "devices/emulated/emulated_writers.h"
#include "gui/alerts.h"
#include "gui_fixture.h"

namespace tessaline::test {
namespace {

TEST(MessageBoxAlerts, AnswerOnceAfterTheBoxHasGoneWithTheButtonsPosition) {
  const StringTable strings = StringTable::builtIn();
  QWidget window;
  window.show();
  gui::MessageBoxAlerts alerts(strings, &window);

  AlertRequest request;
  request.messageKey = QStringLiteral("attempteraseshort");
  request.informativeKey = QStringLiteral("attempteraselong");
  request.buttonKeys = {QStringLiteral("Erase"), QStringLiteral("Cancel")};
  request.detail = QStringLiteral("tool output");
  std::vector<int> answers;
  alerts.showAlert(request, [&](int code) { answers.push_back(code); });

  QMessageBox* box = window.findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowModality(), Qt::WindowModal);
  EXPECT_EQ(box->text(), strings.localized("attempteraseshort"));
  // A short detail is shown with the text; a long one is folded away.
  EXPECT_EQ(box->informativeText(), strings.localized("attempteraselong") + QStringLiteral("\n\ntool output"));
  EXPECT_TRUE(box->detailedText().isEmpty());
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  QAbstractButton* cancel = nullptr;
  for (auto* b : box->buttons())
    if (b->text() == strings.localized("Cancel")) cancel = b;
  ASSERT_NE(cancel, nullptr);
  cancel->click();
  EXPECT_TRUE(answers.empty());  // not from within the click
  ASSERT_TRUE(waitUntil([&] { return !answers.empty(); }));
  waitUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(answers, std::vector<int>{kAlertSecondButtonReturn});

  // Escape answers Cancel; an application-modal box has no parent. A long
  // detail is folded away but for its first line.
  answers.clear();
  request.sheet = false;
  request.style = AlertStyle::Informational;
  request.detail = QStringLiteral("the tool failed:\n1\n2\n3\n4\n5\n6");
  alerts.showAlert(request, [&](int code) { answers.push_back(code); });
  QMessageBox* modal = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* b = qobject_cast<QMessageBox*>(w); b != nullptr && b->isVisible()) modal = b;
  ASSERT_NE(modal, nullptr);
  EXPECT_EQ(modal->windowModality(), Qt::ApplicationModal);
  EXPECT_EQ(modal->icon(), QMessageBox::Information);
  EXPECT_TRUE(modal->informativeText().endsWith(QStringLiteral("\n\nthe tool failed:")));
  EXPECT_EQ(modal->detailedText(), request.detail);
  QTest::keyClick(modal, Qt::Key_Escape);
  ASSERT_TRUE(waitUntil([&] { return !answers.empty(); }));
  EXPECT_EQ(answers, std::vector<int>{kAlertSecondButtonReturn});

  // A box that goes with its window still answers, once.
  answers.clear();
  request.sheet = true;
  request.buttonKeys = {QStringLiteral("OK")};
  auto* parent = new QWidget;
  gui::MessageBoxAlerts doomed(strings, parent);
  doomed.showAlert(request, [&](int code) { answers.push_back(code); });
  delete parent;
  ASSERT_TRUE(waitUntil([&] { return !answers.empty(); }));
  waitUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(answers, std::vector<int>{kAlertFirstButtonReturn});
}

class Alerts : public GuiFixture {};

TEST_F(Alerts, TheNoWriterAlertsFirstButtonQuits) {
  start(false);
  QMessageBox* box = waitForBox(QStringLiteral("noCdWriter"));
  ASSERT_NE(box, nullptr);
  ASSERT_EQ(box->buttons().size(), 2);
  EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Quit"));
  EXPECT_FALSE(app().terminated());
  box->defaultButton()->click();
  EXPECT_TRUE(waitUntil([&] { return app().terminated(); }));
}

TEST_F(Alerts, ARefusedBurnAndAConfirmedEraseGoThroughSheets) {
  writeFile(temp_ / "disc/a.txt", "a");
  addWriter("rec");
  insert("rec", "cd-rw", {makeImage(temp_ / "disc")});
  start();
  // Erasable: the button is on; Cancel leaves the disc alone.
  ASSERT_TRUE(window().eraseButton()->isEnabled());
  window().eraseButton()->click();
  QMessageBox* confirm = waitForBox(QStringLiteral("attempteraseshort"));
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(confirm->parentWidget(), &window());
  clickButton(confirm, QStringLiteral("Cancel"));
  waitUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(window().findChild<QDialog*>(QStringLiteral("eraseProgressPanel")), nullptr);

  window().eraseButton()->click();
  clickButton(waitForBox(QStringLiteral("attempteraseshort")), QStringLiteral("Erase"));
  ASSERT_TRUE(waitUntil([&] { return shown_.wasShown(QStringLiteral("eraseProgressPanel")); }));
  ASSERT_TRUE(waitUntil([&] { return window().findChild<QDialog*>(QStringLiteral("eraseProgressPanel")) == nullptr; },
                        std::chrono::seconds(30)));
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("untitled"); },
                        std::chrono::seconds(15)));

  // No source is too big, but a closed tray with no disc cannot burn.
  window().action("ejectAction")->trigger();
  const QString noDisc = controller().strings().localized("noDisc");
  ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == noDisc; }, std::chrono::seconds(10)));
  writeFile(temp_ / "src/x.txt", "x");
  app().openFiles({temp_ / "src"});
  EXPECT_FALSE(window().burnButton()->isEnabled());
  controller().attemptBurn();  // as tessaline-cli or a shortcut might
  QMessageBox* refused = waitForBox(QStringLiteral("cannotBurn"));
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->informativeText(), controller().strings().localized("noCdInDrive"));
  clickButton(refused, QStringLiteral("OK"));
  EXPECT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
}

TEST_F(Alerts, AWriterThatDisappearsWhileSelectedLeavesAClearState) {
  addWriter("a", QStringLiteral("Writer A"));
  addWriter("b", QStringLiteral("Writer B"));
  insert("a", "cd-r");
  insert("b", "cd-r");
  start();
  ASSERT_EQ(window().writerCombo()->count(), 2);
  window().writerCombo()->setCurrentIndex(1);
  Q_EMIT window().writerCombo()->activated(1);
  ASSERT_NE(controller().theDevice(), nullptr);
  EXPECT_EQ(controller().theDevice()->displayName(), QStringLiteral("Writer B"));

  ASSERT_TRUE(emulated::removeWriter(writersDir_, "b").ok());
  ASSERT_TRUE(waitUntil([&] { return window().writerCombo()->count() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(window().writerCombo()->currentText(), QStringLiteral("Writer A"));
  ASSERT_TRUE(emulated::removeWriter(writersDir_, "a").ok());
  ASSERT_TRUE(waitUntil([&] { return window().writerCombo()->count() == 0; }, std::chrono::seconds(10)));
  EXPECT_EQ(controller().theDevice(), nullptr);
  EXPECT_FALSE(window().writerMenu()->menuAction()->isVisible());
  writeFile(temp_ / "src/x.txt", "x");
  app().openFiles({temp_ / "src"});
  EXPECT_FALSE(window().burnButton()->isEnabled());
  controller().attemptBurn();
  clickButton(waitForBox(QStringLiteral("cannotBurn")), QStringLiteral("OK"));
}

}  // namespace
}  // namespace tessaline::test
