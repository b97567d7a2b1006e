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

// No writer, then three: each is named by its name, device, display name or
// number, with its records' keys, its disc's speeds and its blank disc's status.
TEST_F(CliTest, WritersAreNamedByNameDeviceDisplayNameOrNumberAndPrintTheirRecords) {
  for (const char* command : {"status", "writers", "list", "burn"}) {
    const auto r = runCli({command});
    EXPECT_NE(r.exitCode, 0) << command;
    EXPECT_NE(r.err.find("No CD writer found"), std::string::npos) << command << r.err;
    EXPECT_NE(r.err.find("tessaline-cli writer create"), std::string::npos) << command;
  }
  EXPECT_EQ(runCli({"writers", "--json"}).out, "[]\n");  // for a program reading JSON, an empty list

  ASSERT_EQ(runCli({"writer", "create", "b-rec", "--display-name", "Second"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "create", "a-rec", "--display-name", "Twin"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "create", "c-rec", "--display-name", "Twin"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "insert", "b-rec", "--medium", "cd-rw"}).exitCode, 0);
  const auto listing = runCli({"writers"});
  EXPECT_NE(listing.out.find("1  b-rec  Second"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("speeds for its disc: 4x, 10x, 16x, 24x"), std::string::npos) << listing.out;
  const auto writers = json({"writers", "--json"}).array();
  ASSERT_EQ(writers.size(), 3);
  EXPECT_EQ(writers[0].toObject().keys(),
            (QStringList{QStringLiteral("DRDeviceDisplayName"), QStringLiteral("DRDeviceIORegistryPath"),
                         QStringLiteral("DRDeviceIndex"), QStringLiteral("DRDeviceName"), QStringLiteral("toolDeviceName")}));
  EXPECT_EQ(writers[0].toObject()[QStringLiteral("DRDeviceName")].toString(), QStringLiteral("a-rec"));

  const std::string device = "/dev/" + json({"writer", "info", "b-rec", "--json"}).object()[QStringLiteral("bsdName")]
                                           .toString()
                                           .toStdString();
  for (const std::string& spec : {std::string("b-rec"), std::string("Second"), device, std::string("1")}) {
    const auto status = json({"status", "--writer", spec, "--json"}).object();
    EXPECT_EQ(status[QStringLiteral("deviceStatusString")].toString(), QStringLiteral("CD-RW")) << spec;
  }
  // The record's keys, and the medium in plain fields beside them.
  const auto status = json({"status", "--writer", "b-rec", "--json"}).object();
  EXPECT_EQ(status[QStringLiteral("title")].toString(), QStringLiteral("untitled"));
  EXPECT_NEAR(status[QStringLiteral("spaceFree")].toDouble(), 700.0, 0.5);
  EXPECT_FALSE(status.contains(QStringLiteral("mountPath")));
  EXPECT_FALSE(status.contains(QStringLiteral("eraseable")));  // a blank CD-RW
  EXPECT_TRUE(status[QStringLiteral("blank")].toBool());
  EXPECT_TRUE(status[QStringLiteral("appendable")].toBool());
  EXPECT_FALSE(status[QStringLiteral("closed")].toBool());
  EXPECT_EQ(status[QStringLiteral("sessions")].toInt(), 0);
  EXPECT_EQ(status[QStringLiteral("freeBytes")].toDouble(), 359847.0 * 2048);

  const auto twins = runCli({"status", "--writer", "Twin"});
  EXPECT_NE(twins.exitCode, 0);
  EXPECT_NE(twins.err.find("names several writers"), std::string::npos) << twins.err;
  const auto first = runCli({"status", "--writer", "0"});  // numbers count from 0
  EXPECT_EQ(first.exitCode, 0) << first.err;
  const auto bad = runCli({"status", "--writer", "3"});  // one past the last
  EXPECT_NE(bad.exitCode, 0);
  EXPECT_NE(bad.err.find("there is no writer \"3\""), std::string::npos) << bad.err;
  writeFile(temp_ / "home/Docs/a.txt", "a");
  const std::string docs = (temp_ / "home/Docs").string();
  // 100x is a speed this writer lacks.
  for (const auto& [speed, says] : {std::pair{"8", "does not offer 8x for this disc; it allows 4x, 10x, 16x, 24x"},
                                    std::pair{"100", "does not offer 100x"}}) {
    const auto refused = runCli({"burn", "--writer", "b-rec", "--speed", speed, docs});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(says), std::string::npos) << refused.err;
  }
  EXPECT_EQ(sessionsOnDisc("b-rec"), 0);
  // Several writers and none named: the burn says which one and which disc. Speed 0 is the fastest.
  EXPECT_EQ(runCli({"burn", "--writer", "a-rec", docs}).out.find("Burning with"), std::string::npos);
  const auto unnamed = runCli({"burn", "--speed", "0", docs});
  EXPECT_NE(unnamed.out.find("Burning with writer 0 \"Twin\" (a-rec"), std::string::npos) << unnamed.out;
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

// list writes nothing; a burn then takes a volume name of the full 16 characters.
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
  EXPECT_EQ(sessionsOnDisc(), 0);
  ASSERT_EQ(runCli({"burn", "--volume", "ABCDEFGHIJKLMNOP", (temp_ / "home/Docs").string()}).exitCode, 0);
  EXPECT_EQ(json({"status", "--json"}).object()[QStringLiteral("title")].toString(), QStringLiteral("ABCDEFGHIJKLMNOP"));
}

// Two burns of one writer at once: an image built for addresses that changed
// meanwhile is never written, and a burn is refused while another writes.
TEST_F(CliTest, ASecondBurnOfTheSameWriterNeverWritesOverTheFirst) {
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
  waitUntil([] { return false; }, std::chrono::milliseconds(1500));
  const auto quick = runCli({"burn", (temp_ / "home/One").string()});
  ASSERT_TRUE(slow.waitForFinished(60000));
  // Whichever gets the writer first writes its session; the other one's
  // image no longer fits the disc and is not written.
  const QByteArray slowErr = slow.readAllStandardError();
  EXPECT_NE(quick.exitCode == 0, slow.exitCode() == 0) << quick.err << slowErr.toStdString();
  const std::string loser = quick.exitCode == 0 ? slowErr.toStdString() : quick.err;
  EXPECT_NE(loser.find("while the session image was being built"), std::string::npos) << loser;
  EXPECT_EQ(sessionsOnDisc(), 1);
  EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));

  writeFile(temp_ / "home/Big/data.bin", std::string(1'200'000, 'd'));
  writeFile(temp_ / "home/Small/s.txt", "s");
  ScopedEnv slowWriter("TESSALINE_EMULATED_SPEED", "1");
  QProcess first;
  first.start(QStringLiteral(TESSALINE_CLI_PATH),
              {QStringLiteral("burn"), QStringLiteral("--speed"), QStringLiteral("4"),
               QString::fromStdString((temp_ / "home/Big").string())});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(waitUntil([&] { return json({"writer", "info", "rec", "--json"})[QStringLiteral("busy")].toBool(); },
                        std::chrono::seconds(60)));
  const auto second = runCli({"burn", (temp_ / "home/Small").string()});
  EXPECT_NE(second.exitCode, 0);
  EXPECT_NE(second.err.find("the writer is in use"), std::string::npos) << second.err;
  ASSERT_TRUE(first.waitForFinished(120000));
  EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
  EXPECT_EQ(sessionsOnDisc(), 2);
}

}  // namespace
}  // namespace tessaline::test
