// The controller's alerts as message boxes.

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QTest>

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
  // A short detail is shown with the text; a long one is folded away.
  EXPECT_EQ(box->informativeText(), strings.localized("attempteraselong") + QStringLiteral("\n\ntool output"));
  EXPECT_TRUE(box->detailedText().isEmpty());
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  for (auto* b : box->buttons())
    if (b->text() == strings.localized("Cancel")) b->click();
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

}  // namespace
}  // namespace tessaline::test
