// Files reaching the application: drops, the open panel, the command line.

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QListView>
#include <QMimeData>
#include <QUrl>

#include "gui/file_arguments.h"
#include "gui_fixture.h"

namespace tessaline::test {
namespace {

using gui::localPathsFromUriList;

TEST(UriList, KeepsLocalFilesInOrderAsExactBytes) {
  const QByteArray list =
      "# a comment\r\n"
      "file:///home/u/a%20b.txt\r\n"
      "https://example.org/page\r\n"
      "file://localhost/home/u/caf%E9\r\n"
      "file://elsewhere/home/u/remote.txt\r\n"
      "file:/home/u/short\n"
      "file:///home/u/with%23hash%3F\n"
      "not a url\n"
      "file:///home/u/nul%00byte\n";
  EXPECT_EQ(localPathsFromUriList(list), (std::vector<fs::path>{"/home/u/a b.txt", std::string("/home/u/caf\xe9"),
                                                                "/home/u/short", "/home/u/with#hash?"}));
}

TEST(CommandLine, FilesBecomeAbsoluteAndOptionsAreNotFiles) {
  std::string a0 = "tessaline", a1 = "docs", a2 = "--unknown", a3 = "/abs/x", a4 = "--", a5 = "-dash", a6 = "--help";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data()};
  const auto line = gui::parseCommandLine(6, argv, "/home/u");
  EXPECT_EQ(line.files, (std::vector<fs::path>{"/home/u/docs", "/abs/x", "/home/u/-dash"}));
  EXPECT_FALSE(line.help);
  char* argvHelp[] = {a0.data(), a6.data()};
  EXPECT_TRUE(gui::parseCommandLine(2, argvHelp, "/").help);
}

class Drops : public GuiFixture {
 protected:
  // Drags the data over the window and drops it; answers whether the window took it.
  bool drop(const QMimeData& mime) {
    // Shift asks for a move, which would have the file manager delete the originals: the window copies.
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
    QCoreApplication::sendEvent(&window(), &enter);
    if (!enter.isAccepted()) return false;
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
    QDropEvent dropEvent(QPointF(50, 50), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::ShiftModifier);
    QCoreApplication::sendEvent(&window(), &dropEvent);
    if (dropEvent.isAccepted()) EXPECT_EQ(dropEvent.dropAction(), Qt::CopyAction);
    return dropEvent.isAccepted();
  }
};

TEST_F(Drops, FileUrlsAreAddedInOrderTextIsIgnoredAndTheOpenPanelTakesFilesAndFolders) {
  addWriter("rec");
  insert("rec", "cd-r");
  start();
  EXPECT_TRUE(window().acceptDrops());
  EXPECT_FALSE(window().nameEdit()->acceptDrops());  // so a drop on the name field reaches the window
  for (const char* file : {"src/one.txt", "src/two/x.txt", "other/one.txt", "src/three.txt", "pick/Folder/inner.txt",
                           "pick/file.txt", "pick/left-out.txt"})
    writeFile(temp_ / file, file);
  const auto url = [&](const char* file) { return QUrl::fromLocalFile(QString::fromStdString((temp_ / file).string())); };
  QMimeData text;
  text.setText(QString::fromStdString((temp_ / "src/one.txt").string()));
  EXPECT_FALSE(drop(text));
  QMimeData web;
  web.setUrls({QUrl(QStringLiteral("https://example.org/file.txt"))});
  EXPECT_FALSE(drop(web));
  EXPECT_TRUE(listNames().empty());
  QMimeData files;
  files.setUrls({url("src/one.txt"), QUrl(QStringLiteral("https://example.org/ignored")), url("src/two"),
                 url("other/one.txt"), url("src/three.txt")});
  files.setText(QStringLiteral("also text"));
  EXPECT_TRUE(drop(files));
  // The namesake is refused (a beep); the rest keep the drag's order.
  ASSERT_EQ(listNames(), (std::vector<std::string>{"one.txt", "two", "three.txt"}));
  EXPECT_EQ(controller().sessionContentController().items()[0].aPath, temp_ / "src/one.txt");
  // The open panel takes files and folders together; cancelled, it adds nothing.
  controller().sessionContentController().removeAll();
  QFileDialog* panel = nullptr;
  const auto openPanel = [&] {
    controller().addSourcePath();
    return waitUntil([&] { return (panel = window().findChild<QFileDialog*>(QStringLiteral("openPanel"))) && panel->isVisible(); });
  };
  ASSERT_TRUE(openPanel());
  EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
  // The desktop's own panel would take folders only, or files only.
  EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
  panel->reject();
  waitUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_TRUE(listNames().empty());
  ASSERT_TRUE(openPanel());
  panel->setDirectory(QString::fromStdString((temp_ / "pick").string()));
  // Add with nothing chosen does not take the folder shown; a typed path is a choice.
  QMetaObject::invokeMethod(panel, "accept");
  EXPECT_TRUE(panel->isVisible());
  EXPECT_TRUE(listNames().empty());
  panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QString::fromStdString((temp_ / "src/one.txt").string()));
  QMetaObject::invokeMethod(panel, "accept");
  ASSERT_TRUE(waitUntil([&] { return listNames() == std::vector<std::string>{"one.txt"}; }));
  controller().sessionContentController().removeAll();
  ASSERT_TRUE(openPanel());
  panel->setDirectory(QString::fromStdString((temp_ / "pick").string()));
  auto* list = panel->findChild<QListView*>(QStringLiteral("listView"));
  ASSERT_NE(list, nullptr);
  for (const QString name : {QStringLiteral("Folder"), QStringLiteral("file.txt")}) {
    QModelIndexList row;
    ASSERT_TRUE(waitUntil([&] {
      row = list->model()->match(list->model()->index(0, 0, list->rootIndex()), Qt::DisplayRole, name, 1, Qt::MatchExactly);
      return !row.isEmpty();
    }));
    list->selectionModel()->select(row.first(), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  QMetaObject::invokeMethod(panel, "accept");  // what the Add button does
  ASSERT_TRUE(waitUntil([&] { return listNames().size() == 2; }));
  auto names = listNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Folder", "file.txt"}));
}

}  // namespace
}  // namespace tessaline::test
