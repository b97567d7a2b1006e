// tessaline-cli's commands over the controller, run as the real program.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <QProcess>

#include <thread>

#include "support/test_support.h"

namespace tessaline::test {
namespace {

class CliTest : public ::testing::Test {
 protected:
  QJsonDocument json(const std::vector<std::string>& args) {
    const auto r = runCli(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
  }
  void writerWithBlankDisc(const std::string& name = "rec", const std::string& medium = "cd-r") {
    ASSERT_EQ(runCli({"writer", "create", name}).exitCode, 0);
    ASSERT_EQ(runCli({"writer", "insert", name, "--medium", medium}).exitCode, 0);
  }

  PrivateEnvironment temp_;
};

TEST_F(CliTest, WithoutAWriterEveryCommandSaysSoAndFails) {
  for (const char* command : {"status", "writers", "list", "burn"}) {
    const auto r = runCli({command});
    EXPECT_NE(r.exitCode, 0) << command;
    EXPECT_NE(r.err.find("No CD writer found"), std::string::npos) << command << r.err;
    EXPECT_NE(r.err.find("tessaline-cli writer create"), std::string::npos) << command;
  }
  // For a program reading JSON, no writer is an empty list.
  const auto none = runCli({"writers", "--json"});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, "[]\n");
}

TEST_F(CliTest, StatusAndWritersPrintTheRecordsWithTheirKeys) {
  writerWithBlankDisc("b-rec");
  writerWithBlankDisc("a-rec", "cd-rw");
  const auto writers = json({"writers", "--json"}).array();
  ASSERT_EQ(writers.size(), 2);
  const auto first = writers[0].toObject();
  EXPECT_EQ(first.keys(), (QStringList{QStringLiteral("DRDeviceDisplayName"), QStringLiteral("DRDeviceIORegistryPath"),
                                       QStringLiteral("DRDeviceIndex"), QStringLiteral("DRDeviceName"),
                                       QStringLiteral("toolDeviceName")}));
  EXPECT_EQ(first[QStringLiteral("DRDeviceName")].toString(), QStringLiteral("a-rec"));

  auto status = json({"status", "--json"}).object();
  EXPECT_EQ(status[QStringLiteral("deviceStatusString")].toString(), QStringLiteral("CD-RW"));
  EXPECT_EQ(status[QStringLiteral("title")].toString(), QStringLiteral("untitled"));
  EXPECT_NEAR(status[QStringLiteral("spaceFree")].toDouble(), 700.0, 0.5);
  EXPECT_FALSE(status.contains(QStringLiteral("mountPath")));
  EXPECT_FALSE(status.contains(QStringLiteral("eraseable")));  // a blank CD-RW

  // The medium in plain fields beside the record's keys.
  EXPECT_TRUE(status[QStringLiteral("blank")].toBool());
  EXPECT_TRUE(status[QStringLiteral("appendable")].toBool());
  EXPECT_FALSE(status[QStringLiteral("closed")].toBool());
  EXPECT_EQ(status[QStringLiteral("sessions")].toInt(), 0);
  EXPECT_EQ(status[QStringLiteral("freeBytes")].toDouble(), 359847.0 * 2048);
}

TEST_F(CliTest, AWriterIsNamedByItsNameDeviceDisplayNameOrNumber) {
  ASSERT_EQ(runCli({"writer", "create", "b-rec", "--display-name", "Second"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "create", "a-rec", "--display-name", "Twin"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "create", "c-rec", "--display-name", "Twin"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "insert", "b-rec", "--medium", "cd-rw"}).exitCode, 0);
  const auto listing = runCli({"writers"});
  EXPECT_NE(listing.out.find("1  b-rec  Second"), std::string::npos) << listing.out;
  const std::string device = "/dev/" + json({"writer", "info", "b-rec", "--json"}).object()[QStringLiteral("bsdName")]
                                           .toString()
                                           .toStdString();
  for (const std::string& spec : {std::string("b-rec"), std::string("Second"), device, std::string("1")}) {
    const auto status = json({"status", "--writer", spec, "--json"}).object();
    EXPECT_EQ(status[QStringLiteral("deviceStatusString")].toString(), QStringLiteral("CD-RW")) << spec;
  }
  const auto twins = runCli({"status", "--writer", "Twin"});
  EXPECT_NE(twins.exitCode, 0);
  EXPECT_NE(twins.err.find("names several writers"), std::string::npos) << twins.err;
  const auto first = runCli({"status", "--writer", "0"});  // numbers count from 0
  EXPECT_EQ(first.exitCode, 0) << first.err;
  const auto bad = runCli({"status", "--writer", "7"});
  EXPECT_NE(bad.exitCode, 0);
  EXPECT_NE(bad.err.find("there is no writer \"7\""), std::string::npos) << bad.err;
  // Several writers and none named: the burn says which one and which disc.
  writeFile(temp_ / "home/Docs/a.txt", "a");
  const auto burn = runCli({"burn", "--writer", "a-rec", (temp_ / "home/Docs").string()});
  EXPECT_EQ(burn.out.find("Burning with"), std::string::npos);
  const auto unnamed = runCli({"burn", (temp_ / "home/Docs").string()});
  EXPECT_NE(unnamed.out.find("Burning with writer 0 \"Twin\" (a-rec"), std::string::npos) << unnamed.out;
}

TEST_F(CliTest, WritersListTheSpeedsAndBurnRefusesAnotherNamingThem) {
  writerWithBlankDisc("rec", "cd-rw");
  const auto listing = runCli({"writers"});
  EXPECT_NE(listing.out.find("speeds for its disc: 4x, 10x, 16x, 24x"), std::string::npos) << listing.out;
  writeFile(temp_ / "home/Docs/a.txt", "a");
  // 100x is a speed this writer lacks; 101x is no CD speed at all.
  for (const auto& [speed, says] : {std::pair{"8", "does not offer 8x for this disc; it allows 4x, 10x, 16x, 24x"},
                                    std::pair{"100", "does not offer 100x"}, std::pair{"101", "takes a CD multiple"}}) {
    const auto refused = runCli({"burn", "--speed", speed, (temp_ / "home/Docs").string()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(says), std::string::npos) << refused.err;
  }
  EXPECT_EQ(json({"status", "--json"}).object()[QStringLiteral("title")].toString(), QStringLiteral("untitled"));
}

TEST_F(CliTest, StatusWatchPrintsEachNewRecordAsOneLineOfJson) {
  writerWithBlankDisc();
  QProcess watch;
  watch.start(QStringLiteral(TESSALINE_CLI_PATH),
              {QStringLiteral("status"), QStringLiteral("--watch"), QStringLiteral("--json")});
  ASSERT_TRUE(watch.waitForStarted());
  QByteArray out;
  auto seen = [&](const char* text) {
    return waitUntil([&] {
      watch.waitForReadyRead(50);
      out += watch.readAll();
      return out.contains(text);
    }, std::chrono::seconds(20));
  };
  ASSERT_TRUE(seen("CD-R")) << out.toStdString();
  ASSERT_EQ(runCli({"writer", "eject", "rec"}).exitCode, 0);
  EXPECT_TRUE(seen("No disc")) << out.toStdString();
  watch.terminate();
  watch.waitForFinished();
  const QList<QByteArray> objects = out.trimmed().split('\n');
  EXPECT_GE(objects.size(), 2);
  for (const QByteArray& line : objects) EXPECT_TRUE(QJsonDocument::fromJson(line).isObject()) << line.toStdString();
}

TEST_F(CliTest, ListShowsTheBurnListWithoutWritingIt) {
  writerWithBlankDisc();
  writeFile(temp_ / "home/Docs/a.txt", std::string(1'500'000, 'a'));
  writeFile(temp_ / "home/Docs/sub/b.txt", "b");
  writeFile(temp_ / "other/Docs/x", "x");
  const auto both = runCli({"list", "--json", (temp_ / "home/Docs").string(), (temp_ / "other/Docs").string()});
  EXPECT_EQ(both.exitCode, 1);  // the second Docs is refused
  const auto list = QJsonDocument::fromJson(QByteArray::fromStdString(both.out)).array();
  ASSERT_EQ(list.size(), 1);
  const auto item = list[0].toObject();
  EXPECT_EQ(item[QStringLiteral("aPathComponent")].toString(), QStringLiteral("Docs"));
  EXPECT_EQ(item[QStringLiteral("isPermanent")].toString(), QStringLiteral("0"));
  EXPECT_NEAR(item[QStringLiteral("sizeInMB")].toDouble(), 1.500001 + 0.004096, 0.01);
  EXPECT_FALSE(item.contains(QStringLiteral("aIcon")));

  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
  EXPECT_TRUE(json({"writer", "info", "rec", "--json"}).object()[QStringLiteral("tracks")].toArray().isEmpty());
}

TEST_F(CliTest, VolumeNamesAreCheckedBeforeAnythingHappens) {
  writerWithBlankDisc();
  writeFile(temp_ / "home/Docs/a.txt", "a");
  const auto tooLong = runCli({"burn", "--volume", "ABCDEFGHIJKLMNOPQ", (temp_ / "home/Docs").string()});
  EXPECT_EQ(tooLong.exitCode, 2);
  EXPECT_EQ(runCli({"burn", "--volume", "a/b", (temp_ / "home/Docs").string()}).exitCode, 2);
  ASSERT_EQ(runCli({"burn", "--volume", "ABCDEFGHIJKLMNOP", (temp_ / "home/Docs").string()}).exitCode, 0);
  EXPECT_EQ(json({"status", "--json"}).object()[QStringLiteral("title")].toString(), QStringLiteral("ABCDEFGHIJKLMNOP"));
  // A continued disc keeps its name unless another is given.
  writeFile(temp_ / "home/More/b.txt", "b");
  ASSERT_EQ(runCli({"burn", (temp_ / "home/More").string()}).exitCode, 0);
  EXPECT_EQ(json({"status", "--json"}).object()[QStringLiteral("title")].toString(), QStringLiteral("ABCDEFGHIJKLMNOP"));
}

TEST_F(CliTest, ASecondBurnOfTheSameWriterIsRefusedWhileTheFirstRuns) {
  writerWithBlankDisc();
  writeFile(temp_ / "home/Big/data.bin", std::string(1'200'000, 'd'));
  writeFile(temp_ / "home/Small/s.txt", "s");
  ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");
  QProcess first;
  first.start(QStringLiteral(TESSALINE_CLI_PATH),
              {QStringLiteral("burn"), QStringLiteral("--speed"), QStringLiteral("4"),
               QString::fromStdString((temp_ / "home/Big").string())});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(waitUntil([&] {
    const auto r = runCli({"writer", "info", "rec", "--json"});
    return QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object()[QStringLiteral("busy")].toBool();
  }, std::chrono::seconds(60)));
  const auto second = runCli({"burn", (temp_ / "home/Small").string()});
  EXPECT_NE(second.exitCode, 0);
  EXPECT_NE(second.err.find("the writer is in use"), std::string::npos) << second.err;
  ASSERT_TRUE(first.waitForFinished(120000));
  EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
  EXPECT_EQ(json({"writer", "info", "rec", "--json"}).object()[QStringLiteral("tracks")].toArray().size(), 1);
}

TEST_F(CliTest, AnImageBuiltForAddressesThatChangedMeanwhileIsNeverWritten) {
  writerWithBlankDisc();
  writeFile(temp_ / "home/One/a.txt", "a");
  writeFile(temp_ / "home/Two/b.txt", "b");
  // The second burn's image build is slow (saying what it is is not); the
  // first burn writes a session meanwhile.
  const fs::path slowTool = temp_ / "bin/mkisofs";
  writeFile(slowTool, "#!/bin/sh\n[ \"$1\" = -version ] || sleep 3\nexec xorrisofs \"$@\"\n");
  fs::permissions(slowTool, fs::perms::owner_all);
  QProcess slow;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("TESSALINE_MKISOFS"), QString::fromStdString(slowTool.string()));
  slow.setProcessEnvironment(env);
  slow.start(QStringLiteral(TESSALINE_CLI_PATH), {QStringLiteral("burn"), QString::fromStdString((temp_ / "home/Two").string())});
  ASSERT_TRUE(slow.waitForStarted());
  const auto slowPid = slow.processId();
  waitUntil([] { return false; }, std::chrono::milliseconds(1500));
  const auto quick = runCli({"burn", (temp_ / "home/One").string()});
  ASSERT_TRUE(slow.waitForFinished(60000));
  // Whichever gets the writer first writes its session; the other one's
  // image no longer fits the disc and is not written.
  const QByteArray slowErr = slow.readAllStandardError();
  EXPECT_NE(quick.exitCode == 0, slow.exitCode() == 0) << quick.err << slowErr.toStdString();
  const std::string loser = quick.exitCode == 0 ? slowErr.toStdString() : quick.err;
  EXPECT_NE(loser.find("while the session image was being built"), std::string::npos) << loser << " " << slowPid;
  EXPECT_EQ(json({"writer", "info", "rec", "--json"}).object()[QStringLiteral("tracks")].toArray().size(), 1);
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
}

}  // namespace
}  // namespace tessaline::test
