// The burn list: the add rule, every way of adding, removing, selection.

#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

class BurnListTest : public ControllerFixture {
 protected:
  void SetUp() override {
    addWriter("w");
    insert("w", "cd-r");
    start();
    ASSERT_TRUE(settle());
  }
  fs::path makeSource(const std::string& rel, std::size_t bytes = 10) {
    writeFile(temp_ / rel, std::string(bytes, 'x'));
    return temp_ / rel;
  }
  SessionContentModel& list() { return controller().sessionContentController(); }
};

TEST_F(BurnListTest, ASecondSourceOfTheSameNameIsRefusedWithABeep) {
  controller().addSourceToController(makeSource("a/x"));
  controller().addSourceToController(makeSource("b/x"));
  EXPECT_EQ(window_.beeps, 1);
  ASSERT_EQ(list().items().size(), 1u);
  EXPECT_EQ(list().items()[0].aPath, temp_ / "a/x");
  // Case matters; a trailing slash does not make another name.
  controller().addSourceToController(makeSource("a/X"));
  controller().addSourceToController(temp_.path() / "b/");
  controller().addSourceToController(temp_.path() / "b");
  EXPECT_EQ(listNames(), (std::vector<std::string>{"x", "X", "b"}));
  EXPECT_EQ(window_.beeps, 2);
  EXPECT_TRUE(window_.alerts.empty());
}

TEST_F(BurnListTest, SourcesEnterAbsoluteAndNormalAndOnlyWhenTheyNameAFileOrFolder) {
  makeSource("p/c/file");
  makeSource("p/d/file");
  const fs::path here = fs::current_path();
  fs::current_path(temp_.path());
  struct Case {
    fs::path offered;
    std::optional<fs::path> kept;  // no value: refused with an alert naming it
  };
  const Case cases[] = {
      {"p/c", temp_ / "p/c"},             // relative: against the working folder
      {temp_ / "p/d/./", temp_ / "p/d"},  // "." and a trailing slash go
      {temp_ / "p/c/..", temp_ / "p"},    // ".." names the folder above, by its own name
      {temp_ / "missing", std::nullopt},
      {"/", std::nullopt},
      {temp_ / "p/../../../../../../../../..", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    list().removeAll();
    window_.alerts.clear();
    const bool added = controller().addSourceToController(c.offered);
    SCOPED_TRACE(c.offered.native());
    EXPECT_EQ(added, c.kept.has_value());
    if (c.kept) {
      ASSERT_EQ(list().items().size(), 1u);
      EXPECT_EQ(list().items()[0].aPath, *c.kept);
      EXPECT_EQ(list().items()[0].aPathComponent, lastPathComponent(*c.kept));
    } else {
      EXPECT_TRUE(list().items().empty());
      ASSERT_EQ(window_.alertKeys(), (std::vector<QString>{QStringLiteral("cannotAddSource/cannotAddSourceLong")}));
      EXPECT_TRUE(window_.alerts[0].request.detail.contains(displayPath(c.offered)));
    }
  }
  fs::current_path(here);

  // Several refused at once are named in one alert; the others are added.
  list().removeAll();
  window_.alerts.clear();
  controller().openFiles({temp_ / "gone1", temp_ / "p/c", temp_ / "gone2"});
  EXPECT_EQ(listNames(), (std::vector<std::string>{"c"}));
  ASSERT_EQ(window_.alerts.size(), 1u);
  EXPECT_TRUE(window_.alerts[0].request.detail.contains(QStringLiteral("gone1")));
  EXPECT_TRUE(window_.alerts[0].request.detail.contains(QStringLiteral("gone2")));
}

TEST_F(BurnListTest, ItemsCarryTheirKeysAndFullSizes) {
  controller().addSourceToController(makeSource("src/file.bin", 1'500'000));
  controller().addSourceToController(makeSource("src/empty", 0));
  const auto& items = list().items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].aPathComponent, "file.bin");
  EXPECT_EQ(items[0].isPermanent, "0");
  EXPECT_EQ(items[0].aIcon.toString(), QStringLiteral("file-icon"));
  EXPECT_DOUBLE_EQ(items[0].sizeInMB, 1.5);
  EXPECT_DOUBLE_EQ(items[1].sizeInMB, 0.0000001);  // a full size is never 0
  EXPECT_NEAR(list().sumSizeInMB(), 1.5000001, 1e-12);
}

TEST_F(BurnListTest, DropsOpenPanelAndOpenedFilesAllUseTheAddRule) {
  DragInfo drag;
  drag.types = {QStringLiteral("text/uri-list")};
  drag.fileNames = {makeSource("d1/one"), makeSource("d2/one"), makeSource("d3/three")};
  EXPECT_EQ(controller().draggingEntered(drag), 1);
  EXPECT_TRUE(controller().performDragOperation(drag));
  EXPECT_EQ(listNames(), (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(window_.beeps, 1);

  DragInfo text;
  text.types = {QStringLiteral("text/plain")};
  text.fileNames = {makeSource("t/text")};
  EXPECT_EQ(controller().draggingEntered(text), 0);
  EXPECT_TRUE(controller().performDragOperation(text));  // accepted, adds nothing
  EXPECT_EQ(list().items().size(), 2u);

  window_.openPanelAnswer = {makeSource("p/four"), makeSource("p/five")};
  controller().addSourcePath();
  EXPECT_EQ(window_.openPanelPrompt, controller().strings().localized("OpenDialogAddButton"));
  window_.openPanelReturnCode = 0;
  window_.openPanelAnswer = {makeSource("p/six")};
  controller().addSourcePath();  // cancelled
  controller().openFiles({makeSource("o/seven")});
  EXPECT_EQ(listNames(), (std::vector<std::string>{"one", "three", "four", "five", "seven"}));
}

TEST_F(BurnListTest, RemoveTakesExactlyTheSelectedRowsAndClearsTheSelection) {
  for (const char* name : {"r/a", "r/b", "r/c"}) controller().addSourceToController(makeSource(name));
  auto* selection = list().selectionModel();
  selection->select(list().index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  selection->select(list().index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  controller().removeSourcePath();
  EXPECT_EQ(listNames(), (std::vector<std::string>{"b"}));
  EXPECT_FALSE(selection->hasSelection());
  EXPECT_EQ(window_.deselections, 1);
}

TEST_F(BurnListTest, TransformersColourAndTestAsDescribed) {
  const auto& t = controller().valueTransformers();
  EXPECT_EQ(t.transform(QStringLiteral("IsGTZero"), 0.0).toInt(), 0);
  EXPECT_EQ(t.transform(QStringLiteral("IsGTZero"), 0.0000001).toInt(), 1);
  EXPECT_EQ(t.transform(QStringLiteral("IsGTZero"), -1.0).toInt(), 1);
  EXPECT_NE(t.transform(QStringLiteral("PermanentToColourTransformer"), QStringLiteral("1")),
            t.transform(QStringLiteral("PermanentToColourTransformer"), QStringLiteral("0")));
}

}  // namespace
}  // namespace tessaline::test
