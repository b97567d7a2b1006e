// The burn as the controller runs it: start checks, the speed and the
// duplicate-name question.

#include "common/log.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

class BurnFlowTest : public ControllerFixture {
 protected:
  BurnFlowTest() : tmp_("TMPDIR", (temp_ / "tmp").string()) { fs::create_directories(temp_ / "tmp"); }

  fs::path source(const std::string& name, std::size_t bytes = 100) {
    writeFile(temp_ / "home" / name / "file.bin", std::string(bytes, 'b'));
    return temp_ / "home" / name;
  }
  bool tmpIsEmpty() { return fs::is_empty(temp_ / "tmp"); }

  ScopedEnv tmp_;
};

TEST_F(BurnFlowTest, StartChecksRefuseWithoutADiscOrSpaceAndAnEqualSumPasses) {
  addWriter("w");
  start();
  ASSERT_TRUE(settle());  // no disc
  controller().addSourceToController(source("Docs"));
  controller().attemptBurn();
  ASSERT_EQ(window_.alertKeys(), (std::vector<QString>{QStringLiteral("cannotBurn/noCdInDrive")}));

  insert("w", "cd-r");
  ASSERT_TRUE(waitUntil([&] { return status().title.has_value(); }));
  auto record = status();
  record.spaceFree = 100.0f;
  controller().statusController().setContent(record);
  controller().sessionContentController().setSizeInMB(0, 100.5);
  controller().attemptBurn();
  EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("cannotBurn/notEnoughSpaceToBurn"));
  EXPECT_EQ(window_.sheetsBegun, 0);

  controller().sessionContentController().setSizeInMB(0, 100.0);
  std::vector<std::string> lines;
  LogCapture capture([&](const std::string& line) { lines.push_back(line); });
  window_.speedMenu.tag = 8;
  const auto outcome = burnAndWait();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "limiting speed to 8"), lines.end());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->written);
  EXPECT_TRUE(tmpIsEmpty());
  EXPECT_EQ(window_.alerts.size(), 2u);
  EXPECT_EQ(window_.sheetsBegun, 1);
  EXPECT_EQ(window_.sheetsEnded, 1);
  EXPECT_EQ(window_.burnPanels, (std::vector<QString>{QStringLiteral("Burning session...")}));
}

TEST_F(BurnFlowTest, DuplicateNamesAskFirstAndCancelLeavesEverythingAsItWas) {
  writeFile(temp_ / "disc/Docs/a.txt", "a");
  addWriter("w");
  insert("w", "cd-r", {makeImage(temp_ / "disc")});
  start();
  ASSERT_TRUE(settle());
  controller().addSourceToController(source("docs"));  // differs only in case: no question
  window_.answers = {kAlertFirstButtonReturn};
  window_.holdAlerts = true;
  controller().addSourceToController(source("Docs"));
  controller().attemptBurn();
  ASSERT_EQ(window_.alertKeys(), (std::vector<QString>{QStringLiteral("duplicateFilesWarning/duplicateFilesWarningLong")}));
  EXPECT_EQ(window_.alerts[0].request.buttonKeys, (QStringList{QStringLiteral("OK"), QStringLiteral("Cancel")}));
  window_.answerPendingAlert(kAlertSecondButtonReturn);
  EXPECT_EQ(window_.sheetsBegun, 0);
  EXPECT_EQ(listNames().size(), 3u);
  EXPECT_FALSE(controller().burnInProgress());

  // Hiding the previous sessions asks nothing.
  controller().setHidePreviousSessions(true);
  window_.holdAlerts = false;
  const auto outcome = burnAndWait();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->written);
  EXPECT_EQ(window_.alerts.size(), 1u);
  EXPECT_FALSE(controller().hidePreviousSessions());  // for one burn only
}

}  // namespace
}  // namespace tessaline::test
