// The burn as the controller runs it: start checks, the duplicate-name question, the speed.

#include <sys/stat.h>

#include "app/staging_plan.h"
#include "catalogue/burn_configuration.h"
#include "common/log.h"
#include "devices/emulated/emulated_service.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

using BurnFlowTest = ControllerFixture;

TEST_F(BurnFlowTest, StartChecksAndTheDuplicateNameQuestionComeBeforeTheBurnAtTheChosenSpeed) {
  const auto source = [&](const std::string& name) {
    writeFile(temp_ / "home" / name / "file.bin", std::string(100, 'b'));
    return temp_ / "home" / name;
  };
  writeFile(temp_ / "disc/Docs/a.txt", "a");
  addWriter("w");
  start();
  ASSERT_TRUE(settle());  // no disc
  controller().addSourceToController(source("docs"));
  controller().attemptBurn();
  ASSERT_EQ(window_.alertKeys(), (std::vector<QString>{QStringLiteral("cannotBurn/noCdInDrive")}));
  insert("w", "cd-r", {makeImage(temp_ / "disc")});
  ASSERT_TRUE(waitUntil([&] { return listNames().size() == 2; }));  // differs only in case: no question
  ASSERT_TRUE(settle());
  window_.holdAlerts = true;
  controller().addSourceToController(source("Docs"));
  controller().attemptBurn();
  EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("duplicateFilesWarning/duplicateFilesWarningLong"));
  EXPECT_EQ(window_.alerts.back().request.buttonKeys, (QStringList{QStringLiteral("OK"), QStringLiteral("Cancel")}));
  window_.answerPendingAlert(kAlertSecondButtonReturn);
  EXPECT_EQ(listNames().size(), 3u);
  EXPECT_FALSE(controller().burnInProgress());
  window_.holdAlerts = false;
  {  // A burn that fails before writing says why and keeps the burn list.
    ScopedEnv noTool("TESSALINE_MKISOFS", (temp_ / "bin/missing").string());
    controller().attemptBurn();  // the name question, then the failure
    ASSERT_TRUE(waitUntil([&] { return window_.alerts.size() == 4; }));
    EXPECT_TRUE(window_.alertKeys().back().startsWith(QStringLiteral("CreateTrackAbortedWithError/")));
    EXPECT_FALSE(controller().burnInProgress());
    EXPECT_EQ(listNames().size(), 3u);
  }
  // More than the free space is refused, an equal sum fits; hiding the disc asks nothing.
  auto record = status();
  auto& list = controller().sessionContentController();
  const auto sourcesOf = [&](double each) {
    for (std::size_t row = 0; row < 3; ++row) list.setSizeInMB(static_cast<int>(row), list.items()[row].permanent() ? 0.0 : each);
  };
  for (const auto& [free, each, says] : {std::tuple{0.002f, 0.002, "needs 0.004 MB; 0.002 MB are free"},
                                         std::tuple{100.0f, 50.25, "needs 100.5 MB; 100.0 MB are free"}}) {
    record.spaceFree = free;
    controller().statusController().setContent(record);
    sourcesOf(each);
    controller().attemptBurn();
    EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("cannotBurn/notEnoughSpaceToBurn"));
    EXPECT_TRUE(window_.alerts.back().request.detail.contains(QString::fromLatin1(says)))
        << window_.alerts.back().request.detail.toStdString();
  }
  EXPECT_EQ(window_.sheetsBegun, 1);  // the failed burn's only
  controller().setHidePreviousSessions(true);
  sourcesOf(50.0);
  std::vector<std::string> lines;
  LogCapture capture([&](const std::string& line) { lines.push_back(line); });
  window_.speedMenu.tag = 8;
  const auto outcome = burnAndWait();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "limiting speed to 8"), lines.end());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->written);
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
  EXPECT_EQ(window_.alerts.size(), 6u);
  EXPECT_EQ(window_.sheetsBegun, 2);
  EXPECT_EQ(window_.sheetsEnded, 2);
  EXPECT_EQ(window_.burnPanels, (std::vector<QString>{QStringLiteral("Burning session...")}));
  EXPECT_FALSE(controller().hidePreviousSessions());
}

// Another program holds the disc: the built image waits for it, and a stop
// meanwhile leaves the burn list as it was.
TEST_F(BurnFlowTest, AStopWhileAnotherProgramHoldsTheDiscKeepsTheBurnList) {
  addWriter("w");
  insert("w", "cd-r");
  emulated::EmulatedService other(writersDir_);
  const auto held = other.devices().at(0);
  ASSERT_TRUE(held->acquireMediaReservation().ok() && held->acquireExclusiveAccess().ok());
  start();
  ASSERT_TRUE(settle());
  writeFile(temp_ / "home/docs/a.txt", "a");
  controller().addSourceToController(temp_ / "home/docs");
  std::optional<BurnOutcome> outcome;
  QObject::connect(&controller(), &appController::burnFinished, [&](const BurnOutcome& o) { outcome = o; });
  controller().attemptBurn();
  waitUntil([] { return false; }, std::chrono::seconds(2));  // the image is built by then
  EXPECT_FALSE(outcome.has_value());
  controller().cancelBurn();
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->kind, ErrorKind::Cancelled);
  EXPECT_FALSE(outcome->writingStarted);
  EXPECT_EQ(listNames(), (std::vector<std::string>{"docs"}));
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));

  // Once idle, the other program hands the disc over, then asks for it back and gets it while this one is idle;
  // a burn asks for it again, and gets it.
  held->releaseExclusiveAccess();
  ASSERT_TRUE(waitUntil([&] { return controller().theDevice()->mediumState().reserved; }));
  ASSERT_TRUE(held->acquireMediaReservation().ok());
  ASSERT_TRUE(waitUntil([&] { return held->mediumState().reserved; }));
  const auto burned = burnAndWait();
  ASSERT_TRUE(burned.has_value());
  EXPECT_TRUE(burned->written);

  // Holding only the writer, the other program keeps the next burn waiting
  // too, and a stop ends it before anything is written.
  ASSERT_TRUE(held->acquireExclusiveAccess().ok());
  writeFile(temp_ / "home/docs/b.txt", "b");
  controller().addSourceToController(temp_ / "home/docs");
  outcome.reset();
  controller().attemptBurn();
  waitUntil([] { return false; }, std::chrono::seconds(2));
  EXPECT_FALSE(outcome.has_value());
  controller().cancelBurn();
  ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
  EXPECT_EQ(outcome->error->message, "the burn was stopped before anything was written");
  held->releaseExclusiveAccess();
}

// Nothing new but the stored sources: the session adds nothing only when the
// disc stores the same ones. A FIFO in their place, as a kernel mount shows one
// that another tool burned, must not hang the check.
TEST(SessionAddsNothing, OnlyTheSameStoredSourcesOnTheDiscCountAsNothingNew) {
  TempDir staging;
  TempDir disc;
  const auto store = [](const fs::path& folder, const char* path) {
    ASSERT_TRUE(writeSettingsToPath(folder, {BurnItem{path, "x", {}, "0", 1.5}}).ok());
  };
  const std::vector<StagedEntry> staged = {{".tessaline", StagedType::File, 10, StagingReason::Catalogue}};
  store(staging.path(), "/home/u/Docs");
  EXPECT_FALSE(sessionAddsNothing(staged, staging.path(), disc.path()));  // none on the disc
  store(disc.path(), "/home/u/Docs");
  EXPECT_TRUE(sessionAddsNothing(staged, staging.path(), disc.path()));
  store(disc.path(), "/home/u/Other");
  EXPECT_FALSE(sessionAddsNothing(staged, staging.path(), disc.path()));
  fs::remove(disc / ".tessaline");
  ASSERT_EQ(::mkfifo((disc / ".tessaline").c_str(), 0644), 0);
  EXPECT_FALSE(sessionAddsNothing(staged, staging.path(), disc.path()));
}

}  // namespace
}  // namespace tessaline::test
