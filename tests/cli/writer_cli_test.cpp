// tessaline-cli writer ...: the real program on real files, its --json
// output, bad input, and a kill -9 in the middle of writing a session.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

  // Runs a command that must succeed.
  static bool ok(std::vector<std::string> args) {
    args.insert(args.begin(), "writer");
    const auto r = runCli(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.exitCode == 0;
  }
  static std::string text(const QJsonObject& o, const char* key) { return o[QLatin1String(key)].toString().toStdString(); }

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
  ASSERT_TRUE(ok({"create", "main"}));
  ASSERT_TRUE(ok({"create", "with space", "--display-name", "Desk Recorder"}));
  EXPECT_EQ(runCli({"writer", "list"}).out, "main\t/dev/emu1\tEmulated CD Recorder (main)\nwith space\t/dev/emu2\tDesk Recorder\n");

  QJsonObject o = info("main");
  EXPECT_EQ(text(o, "medium"), "none");
  EXPECT_FALSE(o.contains("mountPoint"));

  ASSERT_TRUE(ok({"insert", "main", "--medium", "cd-r"}));
  o = info("main");
  EXPECT_EQ(text(o, "medium"), "cd-r");
  EXPECT_EQ(o["freeBlocks"].toInteger(), 359847);
  EXPECT_EQ(text(o, "sessionString"), "0");
  EXPECT_TRUE(o["tracks"].toArray().isEmpty());
  EXPECT_FALSE(o["closed"].toBool() || o["trayOpen"].toBool());
  EXPECT_EQ(text(o, "mediumFile"), medium("main").string());

  // A writer left open to others, as earlier versions left one, is closed at
  // the next look; another user's is left as it is.
  const fs::path open = writers() / "with space";
  fs::permissions(open, fs::perms(0755));
  fs::permissions(open / "writer.json", fs::perms(0644));
  info("with space");
  EXPECT_EQ(fs::status(open).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(open / "writer.json").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  if (const passwd* nobody = ::getpwnam("nobody"); ::geteuid() == 0 && nobody != nullptr) {
    ASSERT_EQ(::chown(open.c_str(), nobody->pw_uid, static_cast<gid_t>(-1)), 0);
    fs::permissions(open, fs::perms(0755));
    info("with space");
    EXPECT_EQ(fs::status(open).permissions(), fs::perms(0755));
    ASSERT_EQ(::chown(open.c_str(), 0, static_cast<gid_t>(-1)), 0);
  }

  const fs::path first = iso("one", "FIRST");
  const long long n = static_cast<long long>(fs::file_size(first) / 2048);
  ASSERT_TRUE(ok({"append", "main", first.string()}));
  o = info("main");
  const long long next = std::max(n, 300LL) + 2 + 11400;
  EXPECT_EQ(text(o, "sessionString"), "0," + std::to_string(next));
  EXPECT_EQ(o["freeBlocks"].toInteger(), 359847 - next);
  EXPECT_EQ(o["tracks"], (QJsonArray{QJsonObject{{"start", 0}, {"length", std::max(n, 300LL)}}}));
  const fs::path mount = text(o, "mountPoint");
  EXPECT_EQ(mount.filename(), "FIRST");
  EXPECT_EQ(readFile(mount / "sub/deeper.txt"), "deeper\n");

  const fs::path second = iso("two", "SECOND", text(o, "sessionString"), "main");
  ASSERT_TRUE(ok({"append", "main", second.string(), "--close"}));
  o = info("main");
  EXPECT_TRUE(o["closed"].toBool());
  EXPECT_EQ(o["freeBlocks"].toInteger(), 0);
  EXPECT_EQ(o["tracks"].toArray().size(), 2);
  EXPECT_FALSE(o.contains("mountPoint"));  // a closed disc is not mounted
  const fs::path both = extract("main", next);
  EXPECT_EQ(readFile(both / "hello.txt"), "hello\n");
  EXPECT_EQ(readFile(both / "second.txt"), "second\n");
  expectFails({"writer", "append", "main", second.string()}, "closed");

  EXPECT_NE(runCli({"writer", "info", "main"}).out.find("cd-r, closed"), std::string::npos);
  ASSERT_TRUE(ok({"tray", "main", "open"}));
  EXPECT_TRUE(info("main")["trayOpen"].toBool());

  // An ejected disc is not lost: it waits on the shelf, and goes back in as it was.
  const auto ejected = runCli({"writer", "eject", "main"});
  ASSERT_EQ(ejected.exitCode, 0) << ejected.err;
  EXPECT_NE(ejected.out.find("on the shelf as 'SECOND'"), std::string::npos) << ejected.out;
  EXPECT_EQ(text(info("main"), "medium"), "none");
  EXPECT_FALSE(fs::exists(medium("main")));
  writeFile(tmp / "discs/BROKEN/disc.json", "{damaged");  // skipped on the shelf
  EXPECT_NE(runCli({"writer", "discs"}).out.find("SECOND\tcd-r\t2 session(s), closed"), std::string::npos);
  ASSERT_TRUE(ok({"insert", "main", "--disc", "SECOND"}));
  o = info("main");
  EXPECT_TRUE(o["closed"].toBool());
  EXPECT_EQ(o["tracks"].toArray().size(), 2);
  EXPECT_EQ(readFile(extract("main", next) / "second.txt"), "second\n");
  EXPECT_EQ(runCli({"writer", "discs"}).out, "");
  expectFails({"writer", "insert", "main", "--disc", "SECOND"}, "already holds a disc");
  // Removing the writer keeps its disc too; deleting a disc is asked for on its own.
  ASSERT_TRUE(ok({"remove", "main"}));
  ASSERT_TRUE(ok({"create", "main"}));
  expectFails({"writer", "delete-disc", "SECOND"}, "needs --yes");
  for (const auto& [answer, deleted] : {std::pair{"n\n", false}, std::pair{"y\n", true}}) {  // only a yes deletes
    const auto asked = test::runProgram(
        "script", {"-qec", std::string(TESSALINE_CLI_PATH) + " writer delete-disc SECOND", "/dev/null"}, answer);
    EXPECT_NE(asked.out.find("from the shelf for good? [y/N]"), std::string::npos) << asked.out;
    EXPECT_EQ(asked.exitCode, deleted ? 0 : 1);
    EXPECT_EQ(runCli({"writer", "discs"}).out.find("SECOND") == std::string::npos, deleted) << answer;
  }
  expectFails({"writer", "insert", "main", "--disc", "SECOND"}, "there is no disc 'SECOND' on the shelf");

  ASSERT_TRUE(ok({"remove", "with space"}));
  for (const auto& entry : fs::directory_iterator(writers()))  // nothing of it left, under any name
    EXPECT_EQ(entry.path().filename().string().find("with space"), std::string::npos) << entry.path();
  EXPECT_EQ(runCli({"writer", "list"}).out, "main\t/dev/emu3\tEmulated CD Recorder (main)\n");
}

TEST_F(WriterCliTest, BadInputGetsAClearMessageAndDamagesNothing) {
  ASSERT_TRUE(ok({"create", "w"}));
  expectFails({"writer", "create", "w"}, "already exists");
  expectFails({"writer", "create", "a/b"}, "must not contain a slash");
  expectFails({"writer", "create", ""}, "must not be empty");
  expectFails({"writer", "create", ".w"}, "must not begin with a dot");
  expectFails({"writer", "info", "nobody"}, "there is no writer named 'nobody'");
  writeFile(writers() / "stray", "a file, not a writer's folder");
  expectFails({"writer", "insert", "stray", "--medium", "cd-r"}, "there is no writer named 'stray'");
  expectFails({"writer", "info", "../w"}, "slash");
  expectFails({"writer", "insert", "w"}, "--medium or --disc is needed");
  expectFails({"writer", "insert", "w", "--medium", "floppy"}, "--medium must be");
  expectFails({"writer", "insert", "w", "--medium", "cd-r", "--blocks", "0"}, "--blocks must be");
  expectFails({"writer", "insert", "w", "--medium", "cd-r", "--blocks", "25000001"}, "from 302 to 25000000 blocks");
  ASSERT_TRUE(ok({"insert", "w", "--medium", "cd-r", "--blocks", "25000000"}));  // the largest; its file is sparse
  EXPECT_EQ(info("w")["capacity"].toInt(), 25000000);
  ASSERT_TRUE(ok({"eject", "w"}));
  expectFails({"writer", "tray", "w", "sideways"}, "'open' or 'close'");
  expectFails({"writer", "info", "w", "--colour"}, "unknown option --colour");
  expectFails({"writer", "append", "w", (tmp / "none.iso").string()}, "cannot open");
  EXPECT_EQ(runCli({"writer", "append", "--help"}).exitCode, 0);
  EXPECT_NE(runCli({"writer", "insert", "--help"}).out.find("--session"), std::string::npos);

  const fs::path first = iso("one", "FIRST");
  ASSERT_TRUE(ok({"insert", "w", "--medium", "cd-r", "--blocks", "13000", "--session", first.string()}));
  const QJsonObject before = info("w");
  const auto sessionOneIntact = [&] { EXPECT_EQ(readFile(extract("w", 0) / "hello.txt"), "hello\n"); };

  // Not an ISO 9660 image, and an image bigger than the free space.
  writeFile(tmp / "junk.iso", std::string(40 * 2048, 'j'));
  expectFails({"writer", "append", "w", (tmp / "junk.iso").string()}, "is not an ISO 9660 image");
  writeFile(tmp / "big/big.bin", std::string(4 << 20, 'b'));
  const fs::path big = iso("big", "BIG", text(before, "sessionString"), "w");
  expectFails({"writer", "append", "w", big.string()}, "has only");
  expectFails({"writer", "insert", "w", "--medium", "cd-r"}, "already holds a disc");
  // A session image only goes where it was built for: after the first.
  ASSERT_TRUE(ok({"create", "v"}));
  expectFails({"writer", "insert", "v", "--medium", "cd-r", "--session", big.string()}, "was built for a session at block");
  EXPECT_EQ(text(info("v"), "medium"), "none");
  EXPECT_EQ(info("w"), before);
  sessionOneIntact();

  // A damaged table of contents, garbage or overlapping tracks (each way a
  // table can be damaged is in the emulated medium's own test).
  const fs::path toc = writers() / "w" / "toc.json";
  const std::string good = readFile(toc);
  for (const std::string& bad :
       {std::string("\x01garbage{"),
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
  // Cut behind the writer's back: down to the end of its last track it still reads, a byte less it does not.
  const auto track = before["tracks"].toArray().last().toObject();
  const auto tracksEnd = static_cast<std::uintmax_t>((track["start"].toInteger() + track["length"].toInteger()) * 2048);
  fs::resize_file(medium("w"), tracksEnd);
  EXPECT_EQ(info("w"), before);
  fs::resize_file(medium("w"), tracksEnd - 1);
  expectFails({"writer", "info", "w"}, "is shorter than the tracks its table of contents lists");
  fs::resize_file(medium("w"), tracksEnd);
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
  ASSERT_TRUE(ok({"eject", "w"}));
  EXPECT_EQ(text(info("w"), "medium"), "none");

  // No room left in the writers' folder (inodes for the lock, the counter and
  // a writer's folder, not for all its files): no half-made writer stays behind.
  const test::ScopedMount full(tmp / "full", "tmpfs", "nr_inodes=5,size=1m");
  if (!full.mounted()) GTEST_SKIP() << full.why();
  const test::ScopedEnv writersThere("TESSALINE_WRITERS_DIR", (tmp / "full").string());
  expectFails({"writer", "create", "x"}, "No space left on device");
  for (const auto& e : fs::directory_iterator(tmp / "full")) EXPECT_FALSE(e.path().filename().string().starts_with(".new-"));
}

TEST_F(WriterCliTest, KillDuringAppendLeavesEarlierSessionsAndTheTocIntact) {
  ASSERT_TRUE(ok({"create", "w"}));
  const fs::path first = iso("one", "FIRST");
  ASSERT_TRUE(ok({"insert", "w", "--medium", "cd-rw", "--session", first.string()}));
  const QJsonObject before = info("w");
  writeFile(tmp / "two/bulk.bin", std::string(4 << 20, 'k'));
  const fs::path second = iso("two", "SECOND", text(before, "sessionString"), "w");
  const emulated::WriterPaths paths{writers(), "w"};

  for (const int afterMs : {0, 600}) {
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSALINE_EMULATED_SPEED"), QStringLiteral("1"));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(TESSALINE_CLI_PATH), {QStringLiteral("writer"), QStringLiteral("append"), QStringLiteral("w"),
                                                   QString::fromStdString(second.string()), QStringLiteral("--speed"),
                                                   QStringLiteral("13")});
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
    EXPECT_EQ(fs::path(text(after, "mountPoint")).filename(), "FIRST");
  }
  // The interrupted session can be written afterwards in full.
  ASSERT_TRUE(ok({"append", "w", second.string()}));
  const QJsonObject done = info("w");
  ASSERT_EQ(done["tracks"].toArray().size(), 2);
  const long long start = done["tracks"].toArray()[1].toObject()["start"].toInteger();
  const fs::path out = extract("w", start);
  EXPECT_EQ(readFile(out / "hello.txt"), "hello\n");
  EXPECT_EQ(readFile(out / "bulk.bin"), std::string(4 << 20, 'k'));
}

}  // namespace
}  // namespace tessaline
