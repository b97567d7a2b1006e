// tessaline-cli with the sources a user gives and the ones a disc
// remembers: relative, missing and system paths, nothing new to burn, and
// a burn interrupted from the terminal.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

#include "support/test_support.h"

namespace tessaline::test {
namespace {

class SourcesCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(runCli({"writer", "create", "rec"}).exitCode, 0);
    ASSERT_EQ(runCli({"writer", "insert", "rec", "--medium", "cd-r"}).exitCode, 0);
    ASSERT_EQ(runCli({"config", "set", "storeBurnConfiguration", "true"}).exitCode, 0);
    writeFile(temp_ / "home/Docs/a.txt", "a");
  }
  PrivateEnvironment temp_;
};

TEST_F(SourcesCliTest, RelativeSourcesAreRememberedAbsolutelyAndMissingOnesAreRefused) {
  setModTime(temp_ / "home/Docs/a.txt", 1709208000);  // 29 February 2024, read back from the disc's records
  const auto burned = runCli({"burn", "--yes", "home/Docs"}, {}, temp_.path());
  ASSERT_EQ(burned.exitCode, 0) << burned.err;
  // From any folder, the disc brings the source back by its full path.
  const auto listed = runCli({"list"}, {}, "/");
  EXPECT_NE(listed.out.find("Sources the disc remembers:\n  " + (temp_ / "home/Docs").string()), std::string::npos)
      << listed.out;

  for (const std::string& missing : {(temp_ / "home/Wrok").string(), std::string("/nonexistent")}) {
    const auto list = runCli({"list", missing});
    EXPECT_EQ(list.exitCode, 1) << missing;
    EXPECT_NE(list.err.find("there is no such file or folder"), std::string::npos) << list.err;
    const auto burn = runCli({"burn", "--yes", missing});
    EXPECT_EQ(burn.exitCode, 1) << burn.err;
  }
  EXPECT_EQ(sessionsOnDisc(), 1);
  // After "--", names that look like options are sources.
  for (const char* name : {"-h", "--help"}) {
    writeFile(temp_ / "home" / name / "b.txt", "b");
    const auto list = runCli({"list", "--", name}, {}, temp_ / "home");
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find((temp_ / "home" / name).string()), std::string::npos) << list.out;
  }

  // A burn with no sources updates from the remembered one, which it names once, not again after reading the disc.
  writeFile(temp_ / "home/Docs/new.txt", "n");
  const auto again = runCli({"burn", "--yes"}, {}, "/");
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(sessionsOnDisc(), 2);
  EXPECT_EQ(again.out.find("Sources the disc remembers:"), again.out.rfind("Sources the disc remembers:")) << again.out;
  // Nothing new since: the disc is up to date and takes no session.
  const auto upToDate = runCli({"burn", "--yes"});
  EXPECT_EQ(upToDate.exitCode, 0) << upToDate.err;
  EXPECT_NE(upToDate.err.find("The disc is up to date"), std::string::npos) << upToDate.err;
  EXPECT_EQ(sessionsOnDisc(), 2);
}

TEST_F(SourcesCliTest, ADiscChoosesNothingAUserCouldNotHaveAdded) {
  writeFile(temp_ / "disc/.tessaline",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
            "<dict><key>aPath</key><string>/</string></dict>"
            "<dict><key>aPath</key><string>/proc/self</string></dict>"
            "<dict><key>aPath</key><string>" + (temp_ / "home/Docs/..").string() + "</string></dict>"
            "<dict><key>aPath</key><string>" + (temp_ / "home/Gone").string() + "</string></dict>"
            "<dict><key>aPath</key><string>" + (temp_ / "home/Docs").string() + "</string></dict>"
            "</array></plist>\n");
  writeFile(temp_ / "disc/Docs/a.txt", "old");
  const fs::path image = temp_ / "disc.iso";
  ASSERT_EQ(runProgram("xorrisofs", {"-quiet", "-r", "-J", "-V", "Crafted", "-o", image.string(), (temp_ / "disc").string()})
                .exitCode, 0);
  ASSERT_EQ(runCli({"writer", "create", "x"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "insert", "x", "--medium", "cd-r", "--session", image.string()}).exitCode, 0);
  const auto listed = runCli({"list", "--writer", "x"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_NE(listed.out.find("Sources the disc remembers:\n  " + (temp_ / "home/Docs").string() + "\n"), std::string::npos)
      << listed.out;
  for (const std::string& leftOut : {std::string("/"), std::string("/proc/self"), (temp_ / "home/Docs/..").string(),
                                     (temp_ / "home/Gone").string()})
    EXPECT_NE(listed.err.find("the disc remembers " + leftOut + ", left out"), std::string::npos)
        << leftOut << "\n" << listed.err;
}

TEST_F(SourcesCliTest, NamesCannotSteerTheTerminalButJsonKeepsThemExactAndOtherBytesAreFound) {
  // A no-break space is printable; the last character is C1's CSI.
  const std::string evil = "evil\x1b]0;owned\x07\x1b[31m\nforged\xc2\xa0 line\xc2\x9b";
  writeFile(temp_ / "home" / evil / "a.txt", "a");
  const auto list = runCli({"list", (temp_ / "home" / evil).string()});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  for (const char control : {'\x1b', '\x07'}) EXPECT_EQ(list.out.find(control), std::string::npos);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2) << list.out;  // the item and the total
  EXPECT_NE(list.out.find("evil\\x1b]0;owned\\x07\\x1b[31m\\nforged\xc2\xa0 line\\x9b"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("\xc2\x9b"), std::string::npos);
  const auto json = runCli({"list", "--json", (temp_ / "home" / evil).string()});
  const auto items = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
  ASSERT_EQ(items.size(), 1);
  EXPECT_EQ(items[0].toObject()[QStringLiteral("aPathComponent")].toString().toStdString(), evil);

  // A source named in bytes that are not UTF-8 is found by those bytes (a
  // shell passes them on as they are; QString alone would lose them).
  // Two names that differ only there are two sources.
  writeFile(temp_ / "home/caf\xe9/a.txt", "a");
  writeFile(temp_ / "home/caf\xe8/a.txt", "a");
  const char* script = "cd \"$1\" && exec \"$0\" list --json \"$(printf 'caf\\351')\" \"$(printf 'caf\\350')\"";
  const auto r = runProgram("sh", {"-c", script, TESSALINE_CLI_PATH, (temp_ / "home").string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array().size(), 2) << r.out;
}

TEST_F(SourcesCliTest, AnInterruptedBurnCleansUpAndSaysNothingWasWritten) {
  // One tool hangs when asked what it is, while the sources are staged; the
  // other answers, and hangs building the image.
  writeFile(temp_ / "bin/hangs-asked", "#!/bin/sh\nsleep 60\n");
  writeFile(temp_ / "bin/hangs-building",
            "#!/bin/sh\n[ \"$1\" = -version ] && exec xorrisofs -version\ntouch \"$0.building\"\nsleep 60\n");
  for (const auto& [signal, tool] : {std::pair{SIGINT, "hangs-asked"}, std::pair{SIGTERM, "hangs-building"}}) {
    SCOPED_TRACE(tool);
    fs::permissions(temp_ / "bin" / tool, fs::perms::owner_all);
    ScopedEnv mkisofs("TESSALINE_MKISOFS", (temp_ / "bin" / tool).string());
    QProcess burn;
    burn.start(QStringLiteral(TESSALINE_CLI_PATH),
               {QStringLiteral("burn"), QStringLiteral("--yes"), QString::fromStdString((temp_ / "home/Docs").string())});
    ASSERT_TRUE(burn.waitForStarted());
    // Wait for the tool: the private folder holds the staged tree.
    ASSERT_TRUE(waitUntil([&] { return !fs::is_empty(temp_ / "tmp"); }, std::chrono::seconds(30)));
    if (signal == SIGTERM) ASSERT_TRUE(waitUntil([&] { return fs::exists(temp_ / "bin/hangs-building.building"); }));
    waitUntil([] { return false; }, std::chrono::milliseconds(500));
    ::kill(static_cast<pid_t>(burn.processId()), signal);
    ASSERT_TRUE(burn.waitForFinished(30000));
    EXPECT_EQ(burn.exitCode(), 128 + signal);
    EXPECT_NE(burn.readAllStandardError().indexOf("nothing was written to the disc"), -1);
    EXPECT_TRUE(fs::is_empty(temp_ / "tmp"));
    EXPECT_EQ(sessionsOnDisc(), 0);
  }
}

// Stopped while the written session is read back: the session is on the
// disc, and the user hears that it is there but unverified.
TEST_F(SourcesCliTest, AStopWhileVerifyingKeepsTheSessionAndSaysSo) {
  writeFile(temp_ / "home/Docs/big.bin", std::string(3'000'000, 'b'));
  ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");
  QProcess burn;
  burn.start(QStringLiteral(TESSALINE_CLI_PATH), {QStringLiteral("burn"), QStringLiteral("--yes"), QStringLiteral("--speed"),
                                                 QStringLiteral("4"), QString::fromStdString((temp_ / "home/Docs").string())});
  QByteArray said;
  ASSERT_TRUE(waitUntil([&] {
    burn.waitForReadyRead(20);
    said += burn.readAllStandardError();
    return QString::fromUtf8(said).contains(QRegularExpression(QStringLiteral("Verifying [0-9]+%")));
  }, std::chrono::seconds(60))) << said.toStdString();
  ::kill(static_cast<pid_t>(burn.processId()), SIGINT);
  ASSERT_TRUE(burn.waitForFinished(30000));
  said += burn.readAllStandardError();
  EXPECT_EQ(burn.exitCode(), 128 + SIGINT);
  EXPECT_NE(said.indexOf("the disc holds the session, but it was not verified"), -1) << said.toStdString();
  EXPECT_NE(said.indexOf("Verifying stopped at "), -1) << said.toStdString();
  EXPECT_EQ(sessionsOnDisc(), 1);
}

}  // namespace
}  // namespace tessaline::test
