// The burn list in the window: colours, selection, Remove, the controls that follow it.

#include <QImage>

#include "common/records.h"
#include "gui_fixture.h"

namespace tessaline::test {
namespace {

// What the table's delegate gives a cell to paint with.
class OpenDelegate : public gui::BurnListDelegate {
 public:
  QColor textColour(const QModelIndex& index) const {
    QStyleOptionViewItem option;
    initStyleOption(&option, index);
    return option.palette.color(QPalette::Text);
  }
};

class BurnListWindow : public GuiFixture {
 protected:
  void clickRow(int row) {
    auto* view = window().tableView();
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, rect.center());
  }
  int rowOf(const std::string& name) {
    const auto names = listNames();
    return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
  }
};

TEST_F(BurnListWindow, PermanentRowsAreGreyAndCannotBeSelectedOrRemoved) {
  writeFile(temp_ / "disc/Old/one.txt", "one");
  writeFile(temp_ / "disc/readme.txt", "readme");
  writeFile(temp_ / "disc/.tessaline", "x");  // the disc's own record is never listed
  addWriter("rec");
  insert("rec", "cd-r", {makeImage(temp_ / "disc", "ARCHIVE")});
  start();
  window().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window()));
  auto sorted = [&] {
    auto names = listNames();
    std::sort(names.begin(), names.end());
    return names;
  };
  ASSERT_EQ(sorted(), (std::vector<std::string>{"Old", "readme.txt"}));
  EXPECT_EQ(window().titleLabel()->text(), QStringLiteral("ARCHIVE"));
  EXPECT_TRUE(window().capacityBar()->isEnabled());
  auto& model = controller().sessionContentController();
  ASSERT_FALSE(model.items().empty());
  EXPECT_EQ(model.items()[0].aPath, *status().mountPath / model.items()[0].aPathComponent);
  writeFile(temp_ / "src/New/a.txt", std::string(1'500'000, 'a'));
  writeFile(temp_ / "src/b.txt", "b");
  const fs::path odd = temp_ / "src" / std::string("caf\xe9 list");
  writeFile(odd / "x.txt", "");
  // The window minimised and another program's in front: files handed over
  // bring the window back and forward.
  window().showMinimized();
  QWidget elsewhere;
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &elsewhere; }));
  app().openFiles({temp_ / "src/New", temp_ / "src/b.txt", odd});
  ASSERT_EQ(listNames().size(), 5u);
  EXPECT_FALSE(window().isMinimized());
  EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &window(); }));
  // A name that is not UTF-8 is shown readably and kept exactly, with a generic icon.
  const QModelIndex oddIndex = model.index(4, 0);
  EXPECT_EQ(oddIndex.data(SessionContentModel::PathRole).toByteArray().toStdString(), odd.native());
  EXPECT_EQ(oddIndex.data().toString(), QStringLiteral("caf\\xe9 list"));
  EXPECT_FALSE(oddIndex.data(Qt::DecorationRole).value<QIcon>().isNull());
  controller().sessionContentController().removeObjectAt(4);
  for (int row = 0; row < model.rowCount(); ++row) {
    const QModelIndex index = model.index(row, 0);
    const bool permanent = model.items()[static_cast<std::size_t>(row)].permanent();
    EXPECT_EQ(OpenDelegate().textColour(index), QColor(QLatin1String(permanent ? "gray" : "black"))) << row;
    if (permanent) EXPECT_FALSE(index.data(Qt::DecorationRole).value<QIcon>().isNull()) << row;
  }
  EXPECT_EQ(window().totalLabel()->text(), QStringLiteral("Total: 1.50 MB"));
  EXPECT_TRUE(window().burnButton()->isEnabled());
  // Where, and a tiny size, tell a source from the disc's entries.
  EXPECT_EQ(model.index(rowOf("b.txt"), SessionContentModel::LocationColumn).data().toString(), displayPath(temp_ / "src"));
  {
    ScopedEnv home("HOME", temp_.path().string());  // the home folder shows as ~
    EXPECT_EQ(model.index(rowOf("b.txt"), SessionContentModel::LocationColumn).data().toString(), QStringLiteral("~/src"));
  }
  EXPECT_EQ(model.index(rowOf("b.txt"), SessionContentModel::SizeColumn).data().toString(), QStringLiteral("< 0.01"));
  EXPECT_EQ(model.index(rowOf("Old"), SessionContentModel::LocationColumn).data().toString(), QStringLiteral("on the disc"));
  EXPECT_EQ(model.index(rowOf("Old"), 0).data(Qt::ToolTipRole).toString(),
            QStringLiteral("On the disc: %1\nWritten in an earlier session; a source of the same name replaces it.")
                .arg(displayPath(*status().mountPath / "Old")));
  EXPECT_EQ(model.index(rowOf("b.txt"), 0).data(Qt::ToolTipRole).toString(),
            QStringLiteral("Source: %1\nWhat is new or newer goes into the next session.").arg(displayPath(temp_ / "src/b.txt")));
  EXPECT_TRUE(window().capacityBar()->nextSessionFits());
  EXPECT_TRUE(window().spaceLabel()->text().contains(QStringLiteral("the next session takes 1.50 MB")));
  // The bar as drawn, across its middle: the disc and its next session fill
  // a sliver of it.
  const auto barColour = [&](double at) {
    const QImage bar = window().capacityBar()->grab().toImage();
    return bar.pixelColor(static_cast<int>(at * bar.width()), bar.height() / 2);
  };
  EXPECT_EQ(barColour(0.5), window().capacityBar()->palette().color(QPalette::Base));
  EXPECT_FALSE(window().removeButton()->isEnabled());
  // A click on a permanent row selects nothing; select-all takes only sources.
  clickRow(rowOf("Old"));
  EXPECT_FALSE(model.selectionModel()->hasSelection());
  window().tableView()->selectAll();
  EXPECT_EQ(model.selectionModel()->selectedRows().size(), 2);
  window().tableView()->clearSelection();
  clickRow(rowOf("b.txt"));
  clickRow(rowOf("readme.txt"));  // leaves the selection as it was
  ASSERT_EQ(model.selectionModel()->selectedRows().size(), 1);
  EXPECT_TRUE(window().removeButton()->isEnabled());
  window().removeButton()->click();
  EXPECT_EQ(sorted(), (std::vector<std::string>{"New", "Old", "readme.txt"}));
  EXPECT_FALSE(model.selectionModel()->hasSelection());
  EXPECT_FALSE(window().removeButton()->isEnabled());
  // The Remove action (the Delete key) too; permanent rows stay.
  clickRow(rowOf("New"));
  window().action("removeAction")->trigger();
  EXPECT_EQ(sorted(), (std::vector<std::string>{"Old", "readme.txt"}));
  EXPECT_FALSE(window().burnButton()->isEnabled());
  EXPECT_EQ(window().capacityBar()->nextSession(), 0);
  EXPECT_FALSE(window().spaceLabel()->text().contains(QStringLiteral("next session")))  // nothing to burn, nothing said
      << window().spaceLabel()->text().toStdString();
  // A session larger than the free space: the bar says so before Burn does,
  // in red to its end.
  writeFile(temp_ / "big/film.raw", "");
  fs::resize_file(temp_ / "big/film.raw", 900'000'000);  // sparse
  app().openFiles({temp_ / "big"});
  ASSERT_TRUE(waitUntil([&] { return !window().capacityBar()->nextSessionFits(); }));
  EXPECT_TRUE(window().spaceLabel()->text().contains(QStringLiteral("does not fit")));
  for (double at : {0.05, 0.5, 0.97}) EXPECT_GT(barColour(at).red(), barColour(at).green() + 80) << at;
  // Ejected: the disc's entries go, the source stays at its full size.
  window().action("ejectAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return listNames().size() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(window().totalLabel()->text(), QStringLiteral("Total: 900.00 MB"));
}

}  // namespace
}  // namespace tessaline::test
