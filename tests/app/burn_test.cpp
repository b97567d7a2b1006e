// The burn as the controller runs it: start checks, the duplicate-name
// question, the image tool's exact arguments, the burn settings, and the
// clean-up after success and failure.

#include <QCoreApplication>

#include <fstream>

#include "common/log.h"
#include "devices/emulated/emulated_writers.h"
#include "support/controller_fixture.h"

namespace tessaline::test {
namespace {

class BurnFlowTest : public ControllerFixture {
 protected:
  BurnFlowTest() : tmp_("TMPDIR", (temp_ / "tmp").string()) { fs::create_directories(temp_ / "tmp"); }

  // An image tool that records its arguments (one per line) and then runs the real one.
  fs::path recordingTool(const std::string& real = "genisoimage") {
    const fs::path tool = temp_ / "bin/mkisofs";
    writeFile(tool, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" + (temp_ / "args.txt").string() +
                        "\"\nexec " + real + " \"$@\"\n");
    fs::permissions(tool, fs::perms::owner_all);
    return tool;
  }
  std::vector<std::string> recordedArguments() {
    std::vector<std::string> args;
    std::ifstream in(temp_ / "args.txt");
    for (std::string line; std::getline(in, line);) args.push_back(line);
    return args;
  }
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
  const auto outcome = burnAndWait();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->written);
  EXPECT_EQ(window_.alerts.size(), 2u);
  EXPECT_EQ(window_.sheetsBegun, 1);
  EXPECT_EQ(window_.sheetsEnded, 1);
  EXPECT_EQ(window_.burnPanels, (std::vector<QString>{QStringLiteral("Burning session...")}));
}

class ArgumentsTest : public BurnFlowTest, public ::testing::WithParamInterface<const char*> {};

// genisoimage gets exactly the three described lists; xorrisofs the same with
// "-joliet-utf16" just before the staging folder.
TEST_P(ArgumentsTest, ImageToolGetsExactlyTheDescribedArgumentsForEachKindOfSession) {
  const std::string real = GetParam();
  ScopedEnv tool("TESSALINE_MKISOFS", recordingTool(real).string());
  const auto recordedArguments = [&] {
    auto args = BurnFlowTest::recordedArguments();
    if (real == "xorrisofs" && args.size() > 2) {
      EXPECT_EQ(args[args.size() - 2], "-joliet-utf16");
      args.erase(args.end() - 2);
    }
    return args;
  };
  addWriter("w");
  insert("w", "cd-r");
  start();
  ASSERT_TRUE(settle());
  const std::string medium = controller().theDevice()->toolDeviceName();

  window_.volumeName = QString();  // an empty name still passes -V and an empty argument
  controller().addSourceToController(source("Docs"));
  ASSERT_TRUE(burnAndWait().value().written);
  auto args = recordedArguments();
  ASSERT_EQ(args.size(), 10u);
  const std::string image = args[8];
  EXPECT_EQ(args, (std::vector<std::string>{"-quiet", "-D", "-J", "-joliet-long", "-V", "", "-r", "-o", image,
                                            fs::path(image).replace_extension().string()}));
  EXPECT_EQ(fs::path(image).extension(), ".iso");
  EXPECT_FALSE(fs::exists(image));  // deleted after the burn
  EXPECT_TRUE(tmpIsEmpty());

  // Continued: -M names the writer's medium, -C the last session and the next one.
  ASSERT_TRUE(settle());
  const auto state = controller().theDevice()->mediumState();
  const std::string sessionText = std::to_string(state.tracks[state.tracks.size() - 2].start.value) + "," +
                                  std::to_string(state.tracks.back().start.value);
  EXPECT_EQ(sessionText, "0,11702");
  window_.volumeName = QStringLiteral("Backup");
  controller().addSourceToController(source("Mail"));
  ASSERT_TRUE(burnAndWait().value().written);
  args = recordedArguments();
  ASSERT_EQ(args.size(), 14u);
  EXPECT_EQ(args, (std::vector<std::string>{"-quiet", "-D", "-r", "-J", "-joliet-long", "-V", "Backup", "-o", args[8],
                                            "-M", medium, "-C", sessionText, args[13]}));

  // Hiding the previous sessions drops -M and keeps -C.
  ASSERT_TRUE(settle());
  controller().setHidePreviousSessions(true);
  controller().addSourceToController(source("Other"));
  ASSERT_TRUE(burnAndWait().value().written);
  args = recordedArguments();
  ASSERT_EQ(args.size(), 12u);
  EXPECT_EQ(args[9], "-C");
  EXPECT_EQ(std::count(args.begin(), args.end(), "-M"), 0);
  EXPECT_FALSE(controller().hidePreviousSessions());  // cleared by the end of the burn
}

INSTANTIATE_TEST_SUITE_P(BothTools, ArgumentsTest, ::testing::Values("genisoimage", "xorrisofs"));

TEST_F(BurnFlowTest, SpeedChoiceIsLoggedAndTheListIsRefilledFromTheRemountedDisc) {
  addWriter("w");
  insert("w", "cd-r");
  prefs().setValue(prefs::storeBurnConfiguration, true);
  start();
  ASSERT_TRUE(settle());
  std::vector<std::string> lines;
  LogCapture capture([&](const std::string& line) { lines.push_back(line); });
  window_.speedMenu.tag = 8;
  controller().addSourceToController(source("Docs"));
  ASSERT_TRUE(burnAndWait().value().written);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "limiting speed to 8"), lines.end());
  EXPECT_FALSE(controller().burnInProgress());
  EXPECT_TRUE(controller().burnImagePath().empty());
  EXPECT_TRUE(tmpIsEmpty());
  // The remounted disc brings its entry back as a permanent item, and the
  // stored configuration the source.
  ASSERT_TRUE(waitUntil([&] { return listNames().size() == 2; }));
  EXPECT_EQ(controller().sessionContentController().items()[0].isPermanent, "1");
  EXPECT_EQ(controller().sessionContentController().items()[1].aPath, temp_ / "home/Docs");

  lines.clear();
  window_.speedMenu.tag = 0;
  writeFile(temp_ / "home/Docs/new.bin", "n");
  ASSERT_TRUE(burnAndWait().value().written);
  for (const auto& line : lines) EXPECT_EQ(line.find("limiting speed"), std::string::npos);
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
}

TEST_F(BurnFlowTest, ATrackTooBigForTheDiscFailsCleanlyAndTheNextBurnWorks) {
  addWriter("w");
  emulated::MediumSpec spec;
  spec.capacity = BlockCount{700};
  ASSERT_TRUE(emulated::insertMedium(writersDir_, "w", spec).ok());
  start();
  ASSERT_TRUE(settle());
  controller().addSourceToController(source("Big", 3'000'000));
  // The estimate says it fits; the writer knows better.
  controller().sessionContentController().setSizeInMB(0, 0.0);
  const auto outcome = burnAndWait();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_FALSE(outcome->written);
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->kind, ErrorKind::NoSpace);
  EXPECT_FALSE(controller().burnInProgress());
  EXPECT_TRUE(tmpIsEmpty());
  EXPECT_TRUE(controller().theDevice()->mediumState().blank);
  // Nothing was written: the burn list is kept for another try.
  EXPECT_EQ(listNames(), (std::vector<std::string>{"Big"}));

  ASSERT_TRUE(settle());
  controller().sessionContentController().removeObjectAt(0);
  controller().addSourceToController(source("Small"));
  EXPECT_TRUE(burnAndWait().value().written);
}

// A tool that is missing, exits 0 with a short image, or is killed half-way:
// the failure alert names the tool, nothing reaches the disc, nothing stays in
// the temporary folder, and the burn list is kept for another try.
TEST_F(BurnFlowTest, AnImageToolThatFailsWritesNothingAndKeepsTheBurnList) {
  const std::string saysXorrisofs =
      "#!/bin/sh\nif [ \"$1\" = -version ]; then echo 'mkisofs 2.01-Emulation Copyright (C) 2019 see "
      "libburnia-project.org xorriso'; exit 0; fi\nout=\nprev=\nfor a in \"$@\"; do [ \"$prev\" = -o ] && "
      "out=$a; prev=$a; done\n";
  struct Case {
    const char* name;
    std::string script;  // empty: no tool at all
    const char* detail;
  };
  const std::vector<Case> cases = {
      {"missing", "", "install the package xorriso"},
      {"short", saysXorrisofs + "xorrisofs \"$@\" || exit 1\ntruncate -s 34816 \"$out\"\nexit 0\n", "cut short"},
      {"empty", saysXorrisofs + ": > \"$out\"\nexit 0\n", "package xorriso"},
      {"killed", saysXorrisofs + "head -c 100000 /dev/zero > \"$out\"\nkill -9 $$\n", "ended abnormally"},
  };
  addWriter("w");
  insert("w", "cd-r");
  start();
  ASSERT_TRUE(settle());
  controller().addSourceToController(source("Docs", 300'000));
  for (const Case& c : cases) {
    std::optional<ScopedEnv> tool, path;
    if (c.script.empty()) {
      if (fs::exists(fs::path(TESSALINE_LIBEXECDIR) / "mkisofs")) continue;  // an installed tool would be found
      tool.emplace("TESSALINE_MKISOFS", "");
      path.emplace("PATH", (temp_ / "nowhere").string());
    } else {
      writeFile(temp_ / "bin" / c.name, c.script);
      fs::permissions(temp_ / "bin" / c.name, fs::perms::owner_all);
      tool.emplace("TESSALINE_MKISOFS", (temp_ / "bin" / c.name).string());
    }
    const auto outcome = burnAndWait();
    ASSERT_TRUE(outcome.has_value()) << c.name;
    EXPECT_FALSE(outcome->written) << c.name;
    EXPECT_FALSE(outcome->imageBuilt) << c.name;
    EXPECT_EQ(window_.alertKeys().back(),
              QStringLiteral("CreateTrackAbortedWithError/CreateTrackAbortedWithErrorLong"));
    EXPECT_TRUE(window_.alerts.back().request.detail.contains(QString::fromUtf8(c.detail)))
        << c.name << ": " << window_.alerts.back().request.detail.toStdString();
    EXPECT_EQ(listNames(), (std::vector<std::string>{"Docs"})) << c.name;
    EXPECT_TRUE(tmpIsEmpty()) << c.name;
    EXPECT_TRUE(controller().theDevice()->mediumState().blank) << c.name;
    EXPECT_FALSE(controller().burnInProgress());
  }
  EXPECT_EQ(window_.sheetsBegun, window_.sheetsEnded);
}

// genisoimage cannot merge an earlier session holding a name Joliet cannot
// carry: it is refused before staging, naming the entry and both ways to hide
// the previous sessions; hiding them burns. xorrisofs continues the same disc.
TEST_F(BurnFlowTest, GenisoimageRefusesADiscItCannotContinueXorrisofsContinuesIt) {
  writeFile(temp_ / "disc/Docs/party \xF0\x9F\x8E\x89.txt", "p");
  const fs::path image = temp_ / "first.iso";
  ASSERT_EQ(runProgram("xorrisofs", {"-quiet", "-r", "-J", "-joliet-long", "-V", "DISC", "-o", image.string(),
                                     (temp_ / "disc").string()})
                .exitCode,
            0);
  addWriter("w");
  insert("w", "cd-r", {image});
  start();
  ASSERT_TRUE(settle());
  controller().addSourceToController(source("More"));
  {
    ScopedEnv tool("TESSALINE_MKISOFS", "/usr/bin/genisoimage");
    const auto outcome = burnAndWait();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->written);
    EXPECT_EQ(window_.alertKeys().back(), QStringLiteral("discCannotBeContinued/discCannotBeContinuedLong"));
    const QString detail = window_.alerts.back().request.detail;
    for (const char* part : {"genisoimage", "Docs/party \xF0\x9F\x8E\x89.txt", "\"Hide previous sessions\"",
                             "--hide-previous", "package xorriso"})
      EXPECT_TRUE(detail.contains(QString::fromUtf8(part))) << part << " in " << detail.toStdString();
    EXPECT_EQ(controller().theDevice()->mediumState().tracks.size(), 2u);  // the session and the open track
    EXPECT_TRUE(tmpIsEmpty());
    EXPECT_EQ(listNames().size(), 2u);  // the disc's entry and the source stay
  }
  ASSERT_TRUE(burnAndWait().value().written);  // xorrisofs, the default
  ASSERT_TRUE(settle());
  ScopedEnv tool("TESSALINE_MKISOFS", "/usr/bin/genisoimage");
  controller().setHidePreviousSessions(true);
  controller().addSourceToController(source("Other"));
  ASSERT_TRUE(burnAndWait().value().written);
  EXPECT_EQ(controller().theDevice()->mediumState().tracks.size(), 4u);
}

}  // namespace
}  // namespace tessaline::test
