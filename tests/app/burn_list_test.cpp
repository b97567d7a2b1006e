// The burn list's add rule, and the transformers the window's rows and controls follow.

#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

using BurnListTest = ControllerFixture;

TEST_F(BurnListTest, SourcesEnterAbsoluteAndNormalOnlyWhenTheyNameAFileOrFolderAndOnceForEachName) {
  addWriter("w");
  insert("w", "cd-r");
  start();
  ASSERT_TRUE(settle());
  const auto makeSource = [&](const std::string& rel, std::size_t bytes = 10) {
    writeFile(temp_ / rel, std::string(bytes, 'x'));
    return temp_ / rel;
  };
  const auto list = [&]() -> SessionContentModel& { return controller().sessionContentController(); };
  // A second source of the same name is refused with a beep; sizes are never zero.
  controller().addSourceToController(makeSource("a/x", 1'500'000));
  controller().addSourceToController(makeSource("b/x"));
  EXPECT_EQ(window_.beeps, 1);
  ASSERT_EQ(list().items().size(), 1u);
  EXPECT_EQ(list().items()[0].aPath, temp_ / "a/x");
  // Case matters; a trailing slash does not make another name.
  controller().addSourceToController(makeSource("a/X", 0));
  controller().addSourceToController(temp_.path() / "b/");
  controller().addSourceToController(temp_.path() / "b");
  ASSERT_EQ(listNames(), (std::vector<std::string>{"x", "X", "b"}));
  EXPECT_EQ(window_.beeps, 2);
  EXPECT_TRUE(window_.alerts.empty());
  EXPECT_DOUBLE_EQ(list().items()[0].sizeInMB, 1.5);
  EXPECT_DOUBLE_EQ(list().items()[1].sizeInMB, 0.0000001);  // an empty file still makes a session
  EXPECT_EQ(list().items()[0].isPermanent, "0");
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
  // Only a row the list has can be selected.
  EXPECT_TRUE(controller().shouldSelectRow(0));
  EXPECT_FALSE(controller().shouldSelectRow(-1) || controller().shouldSelectRow(1));
  ASSERT_EQ(window_.alerts.size(), 1u);
  EXPECT_TRUE(window_.alerts[0].request.detail.contains(QStringLiteral("gone1")));
  EXPECT_TRUE(window_.alerts[0].request.detail.contains(QStringLiteral("gone2")));
  // Burn needs a non-zero total; only permanent rows are grey.
  const auto& t = controller().valueTransformers();
  const std::vector<std::pair<QVariant, int>> nonZero{
      {0.0, 0}, {-0.0, 0}, {0.0000001, 1}, {-1.0, 1}, {QVariant(), 0}, {QStringLiteral(" 0.000"), 0},
      {QStringLiteral("1e-400"), 0}, {QStringLiteral(" \t\n\v\f\r0.25 MB"), 1}, {QStringLiteral("abc"), 0}};
  for (const auto& [value, expected] : nonZero)
    EXPECT_EQ(t.transform(QStringLiteral("IsGTZero"), value).toInt(), expected) << value.toString().toStdString();
  const std::vector<std::pair<QVariant, const char*>> colours{
      {QStringLiteral("1"), "gray"}, {1, "gray"}, {QStringLiteral(" 1"), "gray"}, {QStringLiteral("0"), "black"},
      {2, "black"}, {QStringLiteral("11"), "black"}, {QVariant(), "black"},
      {QVariant::fromValue<qlonglong>(4294967297LL), "black"}, {QStringLiteral("4294967297"), "black"}};
  for (const auto& [value, expected] : colours)
    EXPECT_EQ(t.transform(QStringLiteral("PermanentToColourTransformer"), value).toString(),
              QString::fromLatin1(expected))
        << value.toString().toStdString();
}

}  // namespace
}  // namespace tessaline::test
