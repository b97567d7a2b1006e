// The Disc menu's dialogs on a disc of two sessions, the Help menu's boxes, and
// the controller's alerts as message boxes.

#include <QDialogButtonBox>
#include <QPointer>
#include <QProgressBar>
#include <QTableWidget>

#include "gui/alerts.h"
#include "gui_fixture.h"
#include "window_look.h"

namespace tessaline::test {
namespace {

class DiscDialogs : public GuiFixture {
 protected:
  // The cells' texts; each shows whole on hover too, however narrow the dialog.
  QStringList column(QTableWidget* table, int c) {
    QStringList out;
    for (int r = 0; r < table->rowCount(); ++r) {
      const QTableWidgetItem* item = table->item(r, c);
      out << (item->toolTip() == item->text() ? item->text() : QStringLiteral("tooltip: ") + item->toolTip());
    }
    return out;
  }
  // Every column as wide as its widest cell: nothing is cut short.
  static bool shownWhole(QTableWidget* table) {
    for (int c = 0; c < table->columnCount(); ++c)
      if (table->columnWidth(c) < static_cast<QAbstractItemView*>(table)->sizeHintForColumn(c)) return false;
    return true;
  }
  QDialog* open(const char* action, const QString& dialogName) {
    window().action(action)->trigger();
    QDialog* dialog = nullptr;
    const bool shown =
        waitUntil([&] { return (dialog = window().findChild<QDialog*>(dialogName)) != nullptr && dialog->isVisible(); });
    return shown ? dialog : nullptr;  // made but never shown: no dialog to the user
  }
};

TEST_F(DiscDialogs, SessionsAndVerifyTellWhatTheDiscHolds) {
  addWriter("rec");
  insert("rec", "cd-r");
  // The disc keeps its sources, and brings them back into the window.
  ASSERT_EQ(runCli({"config", "set", "storeBurnConfiguration", "true"}).exitCode, 0);
  prefs().setValue(prefs::storeBurnConfiguration, true);
  const fs::path docs = temp_ / "home/Docs";
  writeFile(docs / "a.txt", "alpha");
  writeFile(docs / "b.txt", "bravo");
  writeFile(docs / "big.bin", std::string(48 << 20, 'x'));  // long enough to compare for a Stop to land
  ASSERT_EQ(runCli({"burn", "--yes", "--volume", "Backup", docs.string()}).exitCode, 0);
  writeFile(docs / "c.txt", "charlie");
  ASSERT_EQ(runCli({"burn", "--yes"}).exitCode, 0);
  start();
  QDialog* sessions = open("sessionsAction", QStringLiteral("sessionsDialog"));
  ASSERT_NE(sessions, nullptr);
  auto* table = sessions->findChild<QTableWidget*>(QStringLiteral("table"));
  EXPECT_EQ(column(table, 0), (QStringList{QStringLiteral("1"), QStringLiteral("2")}));
  EXPECT_EQ(column(table, 5), (QStringList{QStringLiteral("Backup"), QStringLiteral("Backup")}));
  // Docs, a, b, big and the list of sources; then c
  EXPECT_EQ(column(table, 6), (QStringList{QStringLiteral("5"), QStringLiteral("1")}));
  EXPECT_TRUE(shownWhole(table));
  expectLook(*sessions, "sessions_dialog");
  // The history is read-only: the edit key opens no editor.
  table->setCurrentCell(0, 5);
  QTest::keyClick(table, Qt::Key_F2);
  EXPECT_EQ(table->findChild<QLineEdit*>(), nullptr);
  sessions->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close)->click();
  EXPECT_FALSE(sessions->isVisible());
  // One file changed since, one deleted: the comparison names both.
  writeFile(docs / "a.txt", "ALPHA");
  setModTime(docs / "a.txt", modTime(docs / "a.txt") + 3600);
  fs::remove(docs / "b.txt");
  QDialog* verify = open("verifyAction", QStringLiteral("verifyDialog"));
  auto* refused = window().findChild<QMessageBox*>(QStringLiteral("verifyRefused"));
  ASSERT_NE(verify, nullptr) << (refused ? refused->informativeText().toStdString() : std::string());
  table = verify->findChild<QTableWidget*>(QStringLiteral("table"));
  ASSERT_TRUE(waitUntil([&] { return table->isVisible(); }));
  EXPECT_EQ(column(table, 0), (QStringList{QStringLiteral("Docs/a.txt"), QStringLiteral("Docs/b.txt")}));
  EXPECT_EQ(column(table, 1), (QStringList{QStringLiteral("newer"), QStringLiteral("deleted")}));
  EXPECT_TRUE(shownWhole(table));
  EXPECT_TRUE(verify->findChild<QLabel*>(QStringLiteral("verifyStatus"))->text().contains(QStringLiteral("deleted")));
  EXPECT_GE(verify->height(), verify->sizeHint().height());  // grown to show the result
  auto* bar = verify->findChild<QProgressBar*>();
  EXPECT_EQ(bar->maximum(), 1000);  // it showed how far the comparison had come: to the end
  EXPECT_EQ(bar->value(), 1000);
  EXPECT_TRUE(bar->isHidden());     // and gave way to the result
  expectLook(*verify, "verify_result");

  // Stop has become Close, and closes the result.
  auto* close = verify->findChild<QPushButton*>(QStringLiteral("stopButton"));
  EXPECT_EQ(close->text(), QStringLiteral("Close"));
  close->click();
  ASSERT_TRUE(waitUntil([&] { return window().findChild<QDialog*>(QStringLiteral("verifyDialog")) == nullptr; }));
  // Stop, the moment the next comparison starts, ends that comparison too.
  QObject listener;
  std::optional<bool> cancelled;
  QObject::connect(&controller(), &appController::verificationFinished, &listener,
                   [&](const DiscComparison& result) { cancelled = result.cancelled; });
  window().action("verifyAction")->trigger();
  verify = window().findChild<QDialog*>(QStringLiteral("verifyDialog"));
  ASSERT_NE(verify, nullptr);
  EXPECT_EQ(verify->findChild<QProgressBar*>()->maximum(), 0);  // busy until the comparison tells how far it is
  verify->findChild<QPushButton*>(QStringLiteral("stopButton"))->click();
  ASSERT_TRUE(waitUntil([&] { return cancelled.has_value(); }));
  EXPECT_TRUE(*cancelled);
}

TEST_F(DiscDialogs, TheHelpMenuTellsWhatTheProgramIsAndTheDiscMenuWhyItCannotOpenWithoutADisc) {
  addWriter("rec");
  start(false);
  for (const auto& [action, boxName, says] : {std::tuple{"aboutAction", "aboutBox", "Release 252"},
                                              std::tuple{"howItWorksAction", "howItWorks", "a session only adds"},
                                              std::tuple{"sessionsAction", "sessionsUnreadable", "no disc in"},
                                              std::tuple{"verifyAction", "verifyRefused", "no mounted disc"}}) {
    window().action(action)->trigger();
    QMessageBox* box = namedBox(boxName);
    ASSERT_NE(box, nullptr) << boxName;
    EXPECT_TRUE(box->informativeText().contains(QString::fromLatin1(says))) << boxName;
    const QPointer<QMessageBox> gone(box);  // OK closes it for good, not just out of sight
    box->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(waitUntil([&] { return gone.isNull(); })) << boxName;
  }
}

TEST(MessageBoxAlerts, AnswerOnceAfterTheBoxHasGoneWithTheButtonsPosition) {
  const StringTable strings = StringTable::builtIn();
  QWidget window;
  window.show();
  gui::MessageBoxAlerts alerts(strings, &window);
  AlertRequest request{.messageKey = QStringLiteral("attempteraseshort"), .informativeKey = QStringLiteral("attempteraselong"),
                       .buttonKeys = {QStringLiteral("Erase"), QStringLiteral("Cancel")}, .detail = QStringLiteral("tool output")};
  std::vector<int> answers;
  const auto answered = [&] {  // once, and only after the box has gone
    waitUntil([&] { return !answers.empty(); });
    waitUntil([] { return false; }, std::chrono::milliseconds(50));
    return std::exchange(answers, {});
  };
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
  EXPECT_EQ(answered(), std::vector<int>{kAlertSecondButtonReturn});
  // Escape answers Cancel; an application-modal box has no parent.
  request.sheet = false;
  request.style = AlertStyle::Informational;
  request.detail = QStringLiteral("the tool failed:\n1\n2\n3\n4\n5\n6");
  request.defaultButton = 2;  // no such button: Return stays on the first, not out of bounds
  alerts.showAlert(request, [&](int code) { answers.push_back(code); });
  auto* modal = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  ASSERT_NE(modal, nullptr);
  EXPECT_EQ(modal->parentWidget(), nullptr);
  EXPECT_EQ(modal->windowModality(), Qt::ApplicationModal);  // the window waits for it too
  EXPECT_EQ(modal->icon(), QMessageBox::Information);
  ASSERT_NE(modal->defaultButton(), nullptr);
  EXPECT_EQ(modal->defaultButton()->text(), strings.localized("Erase"));
  EXPECT_TRUE(modal->informativeText().endsWith(QStringLiteral("\n\nthe tool failed:")));
  EXPECT_EQ(modal->detailedText(), request.detail);
  QTest::keyClick(modal, Qt::Key_Escape);
  EXPECT_EQ(answered(), std::vector<int>{kAlertSecondButtonReturn});
  // A box that goes with its window still answers, once.
  request.sheet = true;
  request.buttonKeys = {QStringLiteral("OK")};
  auto* parent = new QWidget;
  gui::MessageBoxAlerts doomed(strings, parent);
  doomed.showAlert(request, [&](int code) { answers.push_back(code); });
  delete parent;
  EXPECT_EQ(answered(), std::vector<int>{kAlertFirstButtonReturn});
}

}  // namespace
}  // namespace tessaline::test
