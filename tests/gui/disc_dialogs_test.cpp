// The dialogs the menus open: the Disc menu's looks at the disc itself (its
// sessions, and whether it is a true copy of its sources, on a disc of two
// sessions burned beforehand) and the Help menu's boxes.

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QTableWidget>
#include <QTest>

#include "gui_fixture.h"

namespace tessaline::test {
namespace {

class DiscDialogs : public GuiFixture {
 protected:
  QStringList column(QTableWidget* table, int c) {
    QStringList out;
    for (int r = 0; r < table->rowCount(); ++r) out << table->item(r, c)->text();
    return out;
  }
  QDialog* open(const char* action, const QString& dialogName) {
    window().findChild<QAction*>(QString::fromLatin1(action))->trigger();
    QDialog* dialog = nullptr;
    waitUntil([&] { return (dialog = window().findChild<QDialog*>(dialogName)) != nullptr && dialog->isVisible(); });
    return dialog;
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
  ASSERT_EQ(runCli({"burn", "--yes", "--volume", "Backup", docs.string()}).exitCode, 0);
  writeFile(docs / "c.txt", "charlie");
  ASSERT_EQ(runCli({"burn", "--yes"}).exitCode, 0);
  start();

  QDialog* sessions = open("sessionsAction", QStringLiteral("sessionsDialog"));
  ASSERT_NE(sessions, nullptr);
  auto* table = sessions->findChild<QTableWidget*>(QStringLiteral("table"));
  EXPECT_EQ(column(table, 0), (QStringList{QStringLiteral("1"), QStringLiteral("2")}));
  EXPECT_EQ(column(table, 5), (QStringList{QStringLiteral("Backup"), QStringLiteral("Backup")}));
  // Docs, a, b and the list of sources; then c
  EXPECT_EQ(column(table, 6), (QStringList{QStringLiteral("4"), QStringLiteral("1")}));
  sessions->close();

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
  EXPECT_TRUE(verify->findChild<QLabel*>(QStringLiteral("verifyStatus"))->text().contains(QStringLiteral("deleted")));
}

TEST_F(DiscDialogs, TheHelpMenuTellsWhatTheProgramIsAndHowUpdatingWorks) {
  addWriter("rec");
  start(false);
  for (const auto& [action, boxName, says] : {std::tuple{"aboutAction", "aboutBox", "Release 252"},
                                              std::tuple{"howItWorksAction", "howItWorks", "a session only adds"}}) {
    window().action(action)->trigger();
    auto* box = window().findChild<QMessageBox*>(QString::fromLatin1(boxName));
    ASSERT_NE(box, nullptr) << boxName;
    EXPECT_TRUE(box->informativeText().contains(QString::fromLatin1(says))) << boxName;
    delete box;
  }
}

}  // namespace
}  // namespace tessaline::test
