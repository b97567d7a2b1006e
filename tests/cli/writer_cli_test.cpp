// tessaline-cli writer ...: the real program on real files, its --json
// output, bad input, and a kill -9 in the middle of writing a session.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include "devices/emulated/emulated_medium.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::runCli;
using test::runProgram;
using test::TempDir;
using test::waitUntil;
using test::writeFile;

class WriterCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(tmp / "one/hello.txt", "hello\n");
    writeFile(tmp / "one/sub/deeper.txt", "deeper\n");
    writeFile(tmp / "two/second.txt", "second\n");
  }

  fs::path writers() const { return tmp / "writers"; }
  fs::path medium(const std::string& name) const { return writers() / name / "medium.img"; }

  fs::path iso(const std::string& tree, const std::string& volume, const std::string& sessions = "0",
               const std::string& writer = {}) {
    const fs::path out = tmp / (tree + "-" + volume + ".iso");
    std::vector<std::string> args{"-quiet", "-r", "-J", "-V", volume, "-o", out.string()};
    if (sessions != "0") args.insert(args.end(), {"-C", sessions, "-M", medium(writer).string()});
    args.push_back((tmp / tree).string());
    const auto r = runProgram("genisoimage", args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }

  QJsonObject info(const std::string& name) {
    const auto r = runCli({"writer", "info", name, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &err);
    EXPECT_EQ(err.error, QJsonParseError::NoError) << r.out;
    return doc.object();
  }

  // Extracts a session with xorriso into a new folder; answers the folder.
  fs::path extract(const std::string& writer, long long start) {
    const fs::path out = tmp / ("x" + std::to_string(++extracts_));
    const auto r = runProgram("xorriso", {"-osirrox", "on", "-indev", "stdio:" + medium(writer).string(), "-load",
                                          "sbsector", std::to_string(start), "-extract", "/", out.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }

  void expectFails(const std::vector<std::string>& args, const std::string& fragment) {
    const auto r = runCli(args);
    EXPECT_NE(r.exitCode, 0) << args[1];
    EXPECT_NE(r.err.find(fragment), std::string::npos) << "stderr: " << r.err;
  }

  TempDir tmp;
  test::ScopedEnv writersEnv{"TESSALINE_WRITERS_DIR", (tmp / "writers").string()};
  test::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", (tmp / "run").string()};
  test::ScopedEnv speedEnv{"TESSALINE_EMULATED_SPEED", "0"};
  int extracts_ = 0;
};

TEST_F(WriterCliTest, CreateListInsertAppendInfoEjectAndRemove) {
  ASSERT_EQ(runCli({"writer", "create", "main"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "create", "with space", "--display-name", "Desk Recorder"}).exitCode, 0);
  const auto list = runCli({"writer", "list"});
  ASSERT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.out, "main\t/dev/emu1\tEmulated CD Recorder (main)\nwith space\t/dev/emu2\tDesk Recorder\n");

  QJsonObject o = info("main");
  EXPECT_EQ(o["medium"].toString(), "none");
  EXPECT_FALSE(o.contains("mountPoint"));

  ASSERT_EQ(runCli({"writer", "insert", "main", "--medium", "cd-r"}).exitCode, 0);
  o = info("main");
  EXPECT_EQ(o["medium"].toString(), "cd-r");
  EXPECT_EQ(o["freeBlocks"].toInteger(), 359847);
  EXPECT_EQ(o["sessionString"].toString(), "0");
  EXPECT_TRUE(o["tracks"].toArray().isEmpty());
  EXPECT_FALSE(o["closed"].toBool());
  EXPECT_FALSE(o["trayOpen"].toBool());
  EXPECT_EQ(o["mediumFile"].toString().toStdString(), medium("main").string());

  const fs::path first = iso("one", "FIRST");
  const long long n = static_cast<long long>(fs::file_size(first) / 2048);
  ASSERT_EQ(runCli({"writer", "append", "main", first.string()}).exitCode, 0);
  o = info("main");
  const long long next = std::max(n, 300LL) + 2 + 11400;
  EXPECT_EQ(o["sessionString"].toString().toStdString(), "0," + std::to_string(next));
  EXPECT_EQ(o["freeBlocks"].toInteger(), 359847 - next);
  ASSERT_EQ(o["tracks"].toArray().size(), 1);
  EXPECT_EQ(o["tracks"].toArray()[0].toObject()["start"].toInteger(), 0);
  EXPECT_EQ(o["tracks"].toArray()[0].toObject()["length"].toInteger(), std::max(n, 300LL));
  const fs::path mount = o["mountPoint"].toString().toStdString();
  EXPECT_EQ(mount.filename(), "FIRST");
  EXPECT_EQ(readFile(mount / "sub/deeper.txt"), "deeper\n");

  const fs::path second = iso("two", "SECOND", o["sessionString"].toString().toStdString(), "main");
  ASSERT_EQ(runCli({"writer", "append", "main", second.string(), "--close"}).exitCode, 0);
  o = info("main");
  EXPECT_TRUE(o["closed"].toBool());
  EXPECT_EQ(o["freeBlocks"].toInteger(), 0);
  EXPECT_EQ(o["tracks"].toArray().size(), 2);
  EXPECT_FALSE(o.contains("mountPoint"));  // a closed disc is not mounted
  const fs::path both = extract("main", next);
  EXPECT_EQ(readFile(both / "hello.txt"), "hello\n");
  EXPECT_EQ(readFile(both / "second.txt"), "second\n");
  expectFails({"writer", "append", "main", second.string()}, "closed");

  const auto text = runCli({"writer", "info", "main"});
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_NE(text.out.find("cd-r, closed"), std::string::npos) << text.out;

  ASSERT_EQ(runCli({"writer", "tray", "main", "open"}).exitCode, 0);
  EXPECT_TRUE(info("main")["trayOpen"].toBool());
  ASSERT_EQ(runCli({"writer", "tray", "main", "close"}).exitCode, 0);
  EXPECT_FALSE(info("main")["trayOpen"].toBool());

  ASSERT_EQ(runCli({"writer", "eject", "main"}).exitCode, 0);
  EXPECT_EQ(info("main")["medium"].toString(), "none");
  EXPECT_FALSE(fs::exists(medium("main")));

  ASSERT_EQ(runCli({"writer", "remove", "with space"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(writers() / "with space"));
  EXPECT_EQ(runCli({"writer", "list"}).out, "main\t/dev/emu1\tEmulated CD Recorder (main)\n");
}

TEST_F(WriterCliTest, InsertsDiscsMadeOfSessionsAndPressedOrClosedOnes) {
  ASSERT_EQ(runCli({"writer", "create", "w"}).exitCode, 0);
  const fs::path first = iso("one", "FIRST");
  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "cd-rw", "--session", first.string()}).exitCode, 0);
  QJsonObject o = info("w");
  const std::string sessions = o["sessionString"].toString().toStdString();
  const fs::path second = iso("two", "SECOND", sessions, "w");
  ASSERT_EQ(runCli({"writer", "eject", "w"}).exitCode, 0);

  // The same two sessions in one insert; the second was built for its address.
  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "cd-r", "--session", first.string(), second.string()}).exitCode, 0);
  o = info("w");
  ASSERT_EQ(o["tracks"].toArray().size(), 2);
  EXPECT_EQ(fs::path(o["mountPoint"].toString().toStdString()).filename(), "SECOND");
  EXPECT_EQ(readFile(fs::path(o["mountPoint"].toString().toStdString()) / "hello.txt"), "hello\n");
  ASSERT_EQ(runCli({"writer", "eject", "w"}).exitCode, 0);

  // In the wrong order the second image does not fit its address.
  expectFails({"writer", "insert", "w", "--medium", "cd-r", "--session", second.string(), first.string()},
              "was built for a session at block");
  EXPECT_EQ(info("w")["medium"].toString(), "none");

  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "cd-rom", "--session", first.string()}).exitCode, 0);
  o = info("w");
  EXPECT_EQ(o["medium"].toString(), "cd-rom");
  EXPECT_TRUE(o["closed"].toBool());
  ASSERT_EQ(runCli({"writer", "eject", "w"}).exitCode, 0);

  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "dvd"}).exitCode, 0);
  EXPECT_EQ(info("w")["medium"].toString(), "dvd");
  EXPECT_EQ(info("w")["capacity"].toInteger(), 2295104);
  ASSERT_EQ(runCli({"writer", "eject", "w"}).exitCode, 0);

  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "cd-r", "--blocks", "20000", "--session", first.string(), "--closed"}).exitCode, 0);
  o = info("w");
  EXPECT_TRUE(o["closed"].toBool());
  EXPECT_EQ(o["capacity"].toInteger(), 20000);
}

TEST_F(WriterCliTest, BadInputGetsAClearMessageAndDamagesNothing) {
  ASSERT_EQ(runCli({"writer", "create", "w"}).exitCode, 0);
  expectFails({"writer", "create", "w"}, "already exists");
  expectFails({"writer", "create", "a/b"}, "must not contain a slash");
  expectFails({"writer", "create", ""}, "must not be empty");
  expectFails({"writer", "create", ".w"}, "must not begin with a dot");
  expectFails({"writer", "info", "nobody"}, "there is no writer named 'nobody'");
  expectFails({"writer", "info", "../w"}, "slash");
  expectFails({"writer", "insert", "w"}, "--medium is needed");
  expectFails({"writer", "insert", "w", "--medium", "floppy"}, "--medium must be");
  expectFails({"writer", "insert", "w", "--medium", "cd-r", "--blocks", "-5"}, "--blocks must be");
  expectFails({"writer", "tray", "w", "sideways"}, "'open' or 'close'");
  expectFails({"writer", "frobnicate"}, "unknown command");
  expectFails({"writer", "info", "w", "--colour"}, "unknown option --colour");
  expectFails({"writer", "append", "w", (tmp / "none.iso").string()}, "cannot open");
  EXPECT_EQ(runCli({"writer", "append", "--help"}).exitCode, 0);
  EXPECT_NE(runCli({"writer", "insert", "--help"}).out.find("--session"), std::string::npos);

  const fs::path first = iso("one", "FIRST");
  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "cd-r", "--blocks", "13000", "--session", first.string()}).exitCode, 0);
  const QJsonObject before = info("w");
  const auto sessionOneIntact = [&] { EXPECT_EQ(readFile(extract("w", 0) / "hello.txt"), "hello\n"); };

  // Not an ISO 9660 image, and an image bigger than the free space.
  writeFile(tmp / "junk.iso", std::string(40 * 2048, 'j'));
  expectFails({"writer", "append", "w", (tmp / "junk.iso").string()}, "is not an ISO 9660 image");
  writeFile(tmp / "big/big.bin", std::string(4 << 20, 'b'));
  const fs::path big = iso("big", "BIG", before["sessionString"].toString().toStdString(), "w");
  expectFails({"writer", "append", "w", big.string()}, "has only");
  expectFails({"writer", "insert", "w", "--medium", "cd-r"}, "already holds a disc");
  EXPECT_EQ(info("w"), before);
  sessionOneIntact();

  // A damaged table of contents: garbage, truncated, negative, overlapping.
  const fs::path toc = writers() / "w" / "toc.json";
  const std::string good = readFile(toc);
  for (const std::string& bad :
       {std::string("\x01garbage{"), good.substr(0, good.size() / 2),
        std::string(R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":12000,"closed":false,"tracks":[{"start":0,"length":-300}]}})"),
        std::string(R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":12000,"closed":false,"tracks":[{"start":0,"length":300},{"start":10,"length":300}]}})")}) {
    writeFile(toc, bad);
    expectFails({"writer", "info", "w"}, "is damaged");
    expectFails({"writer", "append", "w", first.string()}, "is damaged");
    EXPECT_EQ(runCli({"writer", "list"}).exitCode, 0);
  }
  fs::remove(toc);
  expectFails({"writer", "info", "w"}, "lost its table of contents");
  writeFile(toc, good);
  EXPECT_EQ(info("w"), before);
  sessionOneIntact();

  // The medium file gone behind the writer's back.
  fs::rename(medium("w"), tmp / "kept.img");
  expectFails({"writer", "info", "w"}, "has gone");
  expectFails({"writer", "append", "w", first.string()}, "has gone");
  EXPECT_FALSE(fs::exists(medium("w")));
  fs::rename(tmp / "kept.img", medium("w"));
  sessionOneIntact();

  // The writer's identity file or the whole folder gone.
  fs::rename(writers() / "w" / "writer.json", tmp / "writer.json");
  expectFails({"writer", "info", "w"}, "is damaged");
  fs::rename(tmp / "writer.json", writers() / "w" / "writer.json");
  fs::rename(writers() / "w", tmp / "moved");
  expectFails({"writer", "eject", "w"}, "there is no writer named 'w'");
  expectFails({"writer", "insert", "w", "--medium", "cd-r"}, "there is no writer named 'w'");

  // Ejecting resets a writer whose table of contents is damaged.
  fs::rename(tmp / "moved", writers() / "w");
  writeFile(toc, "nonsense");
  ASSERT_EQ(runCli({"writer", "eject", "w"}).exitCode, 0);
  EXPECT_EQ(info("w")["medium"].toString(), "none");
}

TEST_F(WriterCliTest, KillDuringAppendLeavesEarlierSessionsAndTheTocIntact) {
  ASSERT_EQ(runCli({"writer", "create", "w"}).exitCode, 0);
  const fs::path first = iso("one", "FIRST");
  ASSERT_EQ(runCli({"writer", "insert", "w", "--medium", "cd-rw", "--session", first.string()}).exitCode, 0);
  const QJsonObject before = info("w");
  writeFile(tmp / "two/bulk.bin", std::string(4 << 20, 'k'));
  const fs::path second = iso("two", "SECOND", before["sessionString"].toString().toStdString(), "w");
  const emulated::WriterPaths paths{writers(), "w"};

  for (const int afterMs : {0, 150, 600, 1500}) {
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSALINE_EMULATED_SPEED"), QStringLiteral("1"));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(TESSALINE_CLI_PATH), {QStringLiteral("writer"), QStringLiteral("append"), QStringLiteral("w"),
                                                   QString::fromStdString(second.string()), QStringLiteral("--speed"),
                                                   QStringLiteral("2000")});
    ASSERT_TRUE(cli.waitForStarted());
    // Writing has begun once the writer is marked busy.
    ASSERT_TRUE(waitUntil([&] { return emulated::FileLock::isHeld(paths.busyLock()); }));
    QTest::qWait(afterMs);
    ::kill(static_cast<pid_t>(cli.processId()), SIGKILL);
    ASSERT_TRUE(cli.waitForFinished());
    EXPECT_EQ(cli.exitStatus(), QProcess::CrashExit);

    const QJsonObject after = info("w");
    EXPECT_EQ(after["tracks"], before["tracks"]) << "killed after " << afterMs << " ms";
    EXPECT_EQ(after["sessionString"], before["sessionString"]);
    EXPECT_EQ(readFile(extract("w", 0) / "hello.txt"), "hello\n");
    // The disc is mounted again once nobody holds it.
    EXPECT_EQ(fs::path(after["mountPoint"].toString().toStdString()).filename(), "FIRST");
  }
  // The interrupted session can be written afterwards in full.
  ASSERT_EQ(runCli({"writer", "append", "w", second.string()}).exitCode, 0);
  const QJsonObject done = info("w");
  ASSERT_EQ(done["tracks"].toArray().size(), 2);
  const long long start = done["tracks"].toArray()[1].toObject()["start"].toInteger();
  const fs::path out = extract("w", start);
  EXPECT_EQ(readFile(out / "hello.txt"), "hello\n");
  EXPECT_EQ(readFile(out / "bulk.bin"), std::string(4 << 20, 'k'));
}

}  // namespace
}  // namespace tessaline
