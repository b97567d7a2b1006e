// What a user meets at tessaline-cli's surface: help and usage errors, the
// preferences, preview's dry run and its refusals, and progress in a pipe.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

#include "support/test_support.h"

namespace tessaline::test {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class CommandsCliTest : public ::testing::Test {
 protected:
  // Creates the writer "rec" and puts in the disc `how` describes (none if empty).
  void insert(const std::vector<std::string>& how) {
    ASSERT_EQ(runCli({"writer", "create", "rec"}).exitCode, 0);
    if (how.empty()) return;
    std::vector<std::string> args{"writer", "insert", "rec"};
    args.insert(args.end(), how.begin(), how.end());
    const auto r = runCli(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  std::string docs(std::size_t bytes = 1) {
    writeFile(temp_ / "home/Docs/a.txt", std::string(bytes, 'a'));
    return (temp_ / "home/Docs").string();
  }

  PrivateEnvironment temp_;
};

TEST_F(CommandsCliTest, EveryCommandHasItsHelpAndUsageErrorsExitTwoWithAHint) {
  for (const std::string command :
       {"status", "mount", "writers", "list", "preview", "burn", "erase", "verify", "sessions", "ls", "config"}) {
    const auto help = runCli({command, "--help"});
    EXPECT_EQ(help.exitCode, 0) << command;
    EXPECT_EQ(help.out.rfind("Usage: tessaline-cli " + command + " ", 0), 0u) << help.out;
    EXPECT_EQ(runCli({"help", command}).out, help.out) << command;
  }
  EXPECT_TRUE(has(runCli({"preview", "--help"}).out, "side file  an AppleDouble"));
  EXPECT_EQ(runCli({"help", "writer", "insert"}).out.rfind("Usage: tessaline-cli writer insert NAME", 0), 0u);
  EXPECT_EQ(runCli({"writer", "--help"}).out.rfind("Usage: tessaline-cli writer COMMAND", 0), 0u);
  EXPECT_TRUE(has(runCli({"--help"}).out, "  sessions  the disc's sessions\n"));
  const auto version = runCli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("tessaline-cli ", 0), 0u);

  struct Case {
    std::vector<std::string> args;
    std::string says;
    std::string hint;
  };
  const Case cases[] = {
      {{"frobnicate"}, "unknown command 'frobnicate'", "Try 'tessaline-cli --help'."},
      {{"--loud", "status"}, "unknown option '--loud'", "Try 'tessaline-cli --help'."},
      {{"--quiet", "--verbose", "status"}, "do not go together", ""},
      {{"status", "--colour"}, "Unknown option 'colour'", "Try 'tessaline-cli status --help'."},
      {{"status", "extra"}, "unexpected argument 'extra'", "Try 'tessaline-cli status --help'."},
      {{"erase", "--help-all"}, "Unknown option 'help-all'", "Try 'tessaline-cli erase --help'."},
      {{"burn", "--speed", "fast"}, "CD multiple", ""},
      {{"burn", "--speed", "101"}, "CD multiple", ""},
      {{"burn", "--volume", "ABCDEFGHIJKLMNOPQ"}, "the volume name takes at most 16", ""},
      {{"burn", "--volume", "a/b"}, "the volume name takes at most 16", ""},
      {{"writer", "append", "rec", "x.iso", "--speed", "150k"}, "CD multiple", "Try 'tessaline-cli writer append --help'."},
      {{"writer", "append", "rec", "x.iso", "--speed", "101"}, "CD multiple", ""},
      {{"writer", "frobnicate"}, "unknown command 'frobnicate'", "Try 'tessaline-cli writer --help'."},
      {{"config", "frobnicate"}, "unknown action 'frobnicate'", "Try 'tessaline-cli config --help'."},
  };
  for (const Case& c : cases) {
    const auto r = runCli(c.args);
    EXPECT_EQ(r.exitCode, 2) << c.args.front();
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
    EXPECT_TRUE(has(r.err, c.hint)) << r.err;
    EXPECT_LE(lines(r.err).size(), 2u) << r.err;
  }
  const auto bare = runCli({});  // no command: the summary, on the error stream
  EXPECT_EQ(bare.exitCode, 2);
  EXPECT_EQ(bare.err.rfind("Usage: tessaline-cli [--quiet|--verbose] COMMAND", 0), 0u) << bare.err;
}

TEST_F(CommandsCliTest, ConfigTakesOnlyKnownKeysAndBooleanWords) {
  const std::string key = "storeBurnConfiguration";
  EXPECT_EQ(runCli({"config", "get", key}).exitCode, 1);  // not set: off
  for (const auto& [word, stored] : std::vector<std::pair<std::string, std::string>>{
           {"yes", "true"}, {"off", "false"}, {"1", "true"}, {"No", "false"}, {"ON", "true"}}) {
    ASSERT_EQ(runCli({"config", "set", key, word}).exitCode, 0) << word;
    EXPECT_EQ(runCli({"config", "get", key}).out, stored + "\n") << word;
  }
  struct Refused {
    std::vector<std::string> args;
    std::string says;
  };
  const Refused refused[] = {
      {{"config", "set", key, "maybe"}, "'maybe' is not a switch value"},
      {{"config", "set", "noSuchKey", "true"}, "unknown key 'noSuchKey'"},
      {{"config", "get", "NSWindow Frame mainWindow"}, "unknown key"},
      {{"config", "set", key}, "needs a key and a value"},
      {{"config", "set", key, "true", "extra"}, "unexpected argument 'extra'"},
      {{"config", "list", "extra"}, "unexpected argument 'extra'"},
      {{"config", "unset"}, "needs a key"},
      {{"config"}, "needs list, get, set or unset"},
  };
  for (const Refused& r : refused) {
    const auto result = runCli(r.args);
    EXPECT_EQ(result.exitCode, 2) << r.says;
    EXPECT_TRUE(has(result.err, r.says)) << result.err;
  }
  EXPECT_EQ(runCli({"config", "get", key}).out, "true\n");  // nothing refused was stored
  const auto list = lines(runCli({"config", "list"}).out);
  ASSERT_EQ(list.size(), 7u);
  for (const std::string& line : list) EXPECT_GT(line.size(), 50u) << line;  // key, value, what it does
  const auto line = std::find_if(list.begin(), list.end(), [&](const std::string& l) { return l.rfind(key, 0) == 0; });
  ASSERT_NE(line, list.end());
  EXPECT_TRUE(has(*line, "  on  ") && has(*line, "remember the sources on the disc")) << *line;

  // A settings file edited by hand may hold 1 and 0.
  writeFile(temp_ / "config/Tessaline/Tessaline.conf", "[General]\nstoreBurnConfiguration=1\ncompareContents=0\n");
  const std::string edited = runCli({"config", "list"}).out;
  EXPECT_TRUE(has(edited, "storeBurnConfiguration       on  ")) << edited;
  EXPECT_TRUE(has(edited, "compareContents              off  ")) << edited;
  EXPECT_EQ(runCli({"config", "unset", key}).exitCode, 0);
  EXPECT_EQ(runCli({"config", "get", key}).exitCode, 1);
}

TEST_F(CommandsCliTest, PreviewIsADryRunThatMeetsEveryRefusalOfABurn) {
  const auto noWriter = runCli({"preview", docs()});
  EXPECT_EQ(noWriter.exitCode, 1);
  EXPECT_TRUE(has(noWriter.err, "No CD writer found")) << noWriter.err;
  // A disc that takes the session: the writer, the disc, the size with its
  // overhead, the room after it.
  insert({"--medium", "cd-r"});
  const auto fits = runCli({"preview", docs(1'000'000)});
  EXPECT_EQ(fits.exitCode, 0) << fits.err;
  EXPECT_TRUE(has(fits.out, "writer: writer 0 \"Emulated CD Recorder (rec)\"")) << fits.out;
  EXPECT_TRUE(has(fits.out, "disc: CD-R: blank")) << fits.out;
  EXPECT_TRUE(has(fits.out, "session: about 23.2 MB, of which 22.2 MB are the session's overhead")) << fits.out;
  EXPECT_TRUE(has(fits.out, "free: 700.0 MB now, about 676.8 MB after this session")) << fits.out;
  EXPECT_TRUE(has(fits.out, "fits: yes"));
  const auto json = QJsonDocument::fromJson(QByteArray::fromStdString(runCli({"preview", "--json", docs()}).out));
  EXPECT_EQ(json[QStringLiteral("overheadBytes")].toDouble(), 11400.0 * 2048);
  EXPECT_TRUE(json[QStringLiteral("fits")].toBool());
  // Not resolved, a link is burned as itself and weighs its target's name.
  ASSERT_EQ(runCli({"config", "set", "resolveDisabled", "yes"}).exitCode, 0);
  writeFile(temp_ / "home/Links/a.txt", "a");
  fs::create_symlink("a.txt", temp_ / "home/Links/link");
  const auto links = runCli({"preview", "--json", (temp_ / "home/Links").string()}).out;
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(links))[QStringLiteral("totalBytes")].toDouble(), 1 + 5);
  ASSERT_EQ(runCli({"config", "unset", "resolveDisabled"}).exitCode, 0);
  // Once burned, nothing is new: the burn would write nothing, and says so.
  const std::string burned = docs();
  ASSERT_EQ(runCli({"burn", burned}).exitCode, 0);
  const auto upToDate = runCli({"preview", burned});
  EXPECT_EQ(upToDate.exitCode, 0);
  EXPECT_TRUE(has(upToDate.out, "The disc is up to date: a burn would write no session.")) << upToDate.out;
  // The disc remembering its sources, a source of the name it keeps them under
  // would lose its place in the session: refused.
  ASSERT_EQ(runCli({"config", "set", "storeBurnConfiguration", "yes"}).exitCode, 0);
  writeFile(temp_ / "home/.tessaline", "mine");
  for (const char* command : {"preview", "burn"}) {
    const auto r = runCli({command, burned, (temp_ / "home/.tessaline").string()});
    EXPECT_EQ(r.exitCode, 1) << command;
    EXPECT_TRUE(has(r.err, "A source in the burn list is named \".tessaline\"")) << r.err;
  }
  ASSERT_EQ(runCli({"config", "unset", "storeBurnConfiguration"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "remove", "rec"}).exitCode, 0);

  // Each refusal: the disc, what the burn says, and preview says the same.
  writeFile(temp_ / "image/f.txt", "f");
  ASSERT_EQ(runProgram("xorrisofs", {"-quiet", "-r", "-J", "-o", (temp_ / "closed.iso").string(),
                                     (temp_ / "image").string()}).exitCode, 0);
  writeFile(temp_ / "junk.bin", std::string(40 * 2048, 'j'));
  struct Case {
    std::vector<std::string> disc;
    std::string says;
  };
  const Case cases[] = {
      {{}, "There is no disc in the writer."},
      {{"--medium", "cd-r", "--session", (temp_ / "closed.iso").string(), "--closed"}, "The disc in the writer is closed"},
      {{"--medium", "cd-r", "--blocks", "1000"}, "The burn list needs 3.0 MB; 1.9 MB are free on the disc."},
      {{"--medium", "dvd"}, "Tessaline writes CD-R and CD-RW discs"},
  };
  for (const Case& c : cases) {
    ASSERT_NO_FATAL_FAILURE(insert(c.disc)) << c.says;
    for (const char* command : {"preview", "burn"}) {
      const auto r = runCli({command, docs(3'000'000)});
      EXPECT_EQ(r.exitCode, 1) << command << ": " << c.says;
      EXPECT_TRUE(has(r.err, c.says)) << command << ": " << r.err;
    }
    const auto mount = runCli({"mount"});  // a closed disc has sessions, but none the next burn continues
    EXPECT_EQ(mount.exitCode, 1);
    EXPECT_TRUE(has(mount.err, "there is nothing to mount: only a CD-R or CD-RW that holds sessions")) << mount.err;
    ASSERT_EQ(runCli({"writer", "remove", "rec"}).exitCode, 0);
  }
  EXPECT_TRUE(temp_.tmpIsEmpty());
}

TEST_F(CommandsCliTest, ASourceThatCannotBeReadIsRefusedByPreviewAndBurn) {
  insert({"--medium", "cd-r"});
  const std::string sources = docs();
  writeFile(temp_ / "home/Docs/secret.txt", "secret");
  writeFile(temp_ / "home/Docs/closed/inside.txt", "inside");
  writeFile(temp_ / "home/Docs/listed/unreachable.txt", "listed, not reachable");
  writeFile(temp_ / "home/Locked/inside.txt", "a whole source that cannot be read");
  ::chmod((temp_ / "home/Docs/secret.txt").c_str(), 0);
  ::chmod((temp_ / "home/Locked").c_str(), 0);
  ::chmod((temp_ / "home/Docs/closed").c_str(), 0);
  ::chmod((temp_ / "home/Docs/listed").c_str(), 0444);
  // The whole private world belongs to nobody, who cannot read the secret file or folder,
  // and sees the names in the listed folder but cannot reach what they name.
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const auto giveAllToNobody = [&] {
    for (const auto& entry : fs::recursive_directory_iterator(temp_.path()))
      ASSERT_EQ(::lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::lchown(temp_.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    openUpForNobody(temp_.path());
  };
  // Runs the command as nobody; answers its exit code, its output in NAME.out and NAME.err.
  const auto runAsNobodyCli = [&](const std::string& name, const std::string& arguments) {
    const std::string line = std::string(TESSALINE_CLI_PATH) + " " + arguments + " >'" +
                             (temp_ / (name + ".out")).string() + "' 2>'" + (temp_ / (name + ".err")).string() + "'";
    return runAsNobody([&] {
      const int status = std::system(line.c_str());
      return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    });
  };
  giveAllToNobody();
  for (const std::string command : {"preview", "burn"}) {
    const fs::path err = temp_ / (command + ".err"), out = temp_ / (command + ".out");
    EXPECT_EQ(runAsNobodyCli(command, command + " '" + sources + "' '" + (temp_ / "home/Locked").string() + "'"), 1)
        << command;
    const std::string said = readFile(err);
    EXPECT_TRUE(has(said, "Some sources cannot be read, so the session would lack them.")) << said;
    EXPECT_TRUE(has(said, "secret.txt") && has(said, "closed") && has(said, "unreachable.txt")) << said;
    EXPECT_TRUE(has(said, "Locked: Permission denied")) << said;
    // What the preview lists is only what was staged: nothing of the locked source.
    const std::string listed = readFile(out);
    if (command == "preview") {
      EXPECT_TRUE(has(listed, "Docs/a.txt") && !has(listed, "Locked")) << listed;
    }
  }
  EXPECT_EQ(sessionsOnDisc(), 0);

  // With the rest on the disc, a new file that cannot be read leaves the
  // disc short of it: the preview says so, not that the disc is up to date.
  for (const char* locked : {"home/Docs/secret.txt", "home/Docs/closed", "home/Docs/listed"}) {
    ::chmod((temp_ / locked).c_str(), 0700);
    fs::remove_all(temp_ / locked);
  }
  ASSERT_EQ(runCli({"burn", sources}).exitCode, 0);
  writeFile(temp_ / "home/Docs/later.txt", "later");
  ::chmod((temp_ / "home/Docs/later.txt").c_str(), 0);
  giveAllToNobody();
  EXPECT_EQ(runAsNobodyCli("later", "preview '" + sources + "'"), 1);
  EXPECT_TRUE(has(readFile(temp_ / "later.err"), "later.txt")) << readFile(temp_ / "later.err");

  // A resource fork that no side file can carry (its name leaves no room for
  // "._") would be missing too: refused, unless forks are left out anyway.
  const fs::path forked = temp_ / "home/Docs" / std::string(254, 'f');
  writeFile(forked, "data");
  ASSERT_EQ(::setxattr(forked.c_str(), "user.com.apple.ResourceFork", "rsrc", 4, 0), 0);
  const auto refused = runCli({"burn", "--yes", sources});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(has(refused.err, "Some sources cannot be read") &&
              has(refused.err, std::string(254, 'f') + ": its resource fork or Finder information needs a side file "
                                                       "named \"._\" and its name, which would be 256 bytes long"))
      << refused.err;
  ASSERT_EQ(runCli({"config", "set", "disableSplitForks", "true"}).exitCode, 0);
  EXPECT_EQ(runCli({"burn", "--yes", sources}).exitCode, 0);
  EXPECT_EQ(sessionsOnDisc(), 2);
}

// A home folder: it holds the temporary folder (TMPDIR inside), which is
// burned without the session being staged into itself, and a folder of
// hundreds of files, which the disc lists back. A temporary folder without
// room fails the burn.
TEST_F(CommandsCliTest, OnlyTheTemporaryFolderIsLeftOutOfABurnAndItMustHaveRoom) {
  insert({"--medium", "cd-r"});
  writeFile(temp_ / "home/tmp/mine.txt", "mine");
  for (int i = 0; i < 300; ++i) writeFile(temp_ / "home/many" / std::to_string(i), "");
  ScopedEnv tmp("TMPDIR", (temp_ / "home/tmp").string());
  const auto burned = runCli({"burn", (temp_ / "home").string()});
  ASSERT_EQ(burned.exitCode, 0) << burned.err;
  EXPECT_EQ(runCli({"ls", "home/tmp"}).out.find("tessaline"), std::string::npos);
  EXPECT_NE(runCli({"ls", "home/tmp"}).out.find("mine.txt"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_ / "home/tmp"), fs::directory_iterator()), 1);
  EXPECT_EQ(lines(runCli({"ls", "home/many"}).out).size(), 300u);

  // The temporary folder and a stick on file systems of their own, which
  // number their folders alike: a folder with the staging folder's number is
  // still burned. The folders are made first, so they take the low numbers.
  const ScopedMount tmpfs(temp_ / "ram", "tmpfs", "size=8m"), stick(temp_ / "stick", "tmpfs", "size=8m");
  if (!tmpfs.mounted() || !stick.mounted()) GTEST_SKIP() << tmpfs.why();
  for (int i = 0; i < 30; ++i) fs::create_directory(temp_ / "stick" / std::to_string(i));
  for (int i = 0; i < 30; ++i) writeFile(temp_ / "stick" / std::to_string(i) / "f", "");
  {
    ScopedEnv ram("TMPDIR", (temp_ / "ram").string());
    ASSERT_EQ(runCli({"burn", (temp_ / "stick").string()}).exitCode, 0);
    EXPECT_EQ(lines(runCli({"ls", "stick"}).out).size(), 30u);
  }

  // A temporary folder with room for one more folder and no file: the burn
  // says why it failed, writes nothing and leaves nothing there.
  const ScopedMount full(temp_ / "full", "tmpfs", "nr_inodes=2,size=1m");
  if (!full.mounted()) GTEST_SKIP() << full.why();
  ScopedEnv noRoom("TMPDIR", (temp_ / "full").string());
  const auto failed = runCli({"burn", docs()});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_TRUE(has(failed.err, "No space left on device")) << failed.err;
  EXPECT_TRUE(fs::is_empty(temp_ / "full"));
  EXPECT_EQ(sessionsOnDisc(), 2);
}

// At a terminal, erase asks first, and only a yes erases; stopped midway, an
// erase says that the disc must be erased again.
TEST_F(CommandsCliTest, AtATerminalEraseAsksAndOnlyYesErasesAndAStoppedEraseSaysEraseAgain) {
  insert({"--medium", "cd-rw"});
  ASSERT_EQ(runCli({"burn", docs()}).exitCode, 0);
  for (const auto& [answer, erased] : {std::pair{"n\n", false}, std::pair{"\n", false}, std::pair{"y\n", true}}) {
    const auto r = runProgram("script", {"-qec", std::string(TESSALINE_CLI_PATH) + " erase", "/dev/null"}, answer);
    EXPECT_TRUE(has(r.out, "Erase? [y/N]")) << r.out;
    EXPECT_EQ(r.exitCode, erased ? 0 : 1) << r.out;
    EXPECT_EQ(sessionsOnDisc() == 0, erased) << answer;
  }

  ASSERT_EQ(runCli({"burn", docs()}).exitCode, 0);  // something to erase again
  ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");  // the erase takes two seconds
  QProcess erase;
  erase.start(QStringLiteral(TESSALINE_CLI_PATH), {QStringLiteral("erase"), QStringLiteral("--yes")});
  QByteArray said;
  ASSERT_TRUE(waitUntil([&] {
    erase.waitForReadyRead(20);
    said += erase.readAllStandardError();
    return said.contains("Erasing disc...");
  }, std::chrono::seconds(30))) << said.toStdString();
  ::kill(static_cast<pid_t>(erase.processId()), SIGINT);
  ASSERT_TRUE(erase.waitForFinished(30000));
  said += erase.readAllStandardError();
  EXPECT_EQ(erase.exitCode(), 128 + SIGINT) << said.toStdString();
  EXPECT_TRUE(has(said.toStdString(), "erase the disc again before using it")) << said.toStdString();
}

TEST_F(CommandsCliTest, ProgressIsOneLinePerStepInAPipeAndOneLineDrawnOverAtATerminal) {
  insert({"--medium", "cd-rw"});
  // Slow enough that several polls fall within one tenth, which is printed once.
  ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");
  const std::string sources = docs(2'000'000);
  const auto burn = runCli({"burn", "--speed", "4", sources});
  ASSERT_EQ(burn.exitCode, 0) << burn.err;
  const auto verify = runCli({"verify", sources});
  ASSERT_EQ(verify.exitCode, 0) << verify.err;
  const auto erase = runCli({"erase", "--yes"});
  ASSERT_EQ(erase.exitCode, 0) << erase.err;
  for (const std::string& said : {burn.err, verify.err, erase.err}) {
    std::set<std::string> seen;
    for (const std::string& line : lines(said)) {
      EXPECT_FALSE(line.empty()) << said;
      EXPECT_EQ(line.find('\r'), std::string::npos) << said;
      EXPECT_TRUE(seen.insert(line).second) << "repeated: " << line << "\n" << said;
      std::smatch step;  // a step's line at each tenth
      if (std::regex_match(line, step, std::regex(R"([A-Z][a-z]+ +(\d+)%)"))) {
        EXPECT_TRUE(std::stoi(step[1]) % 10 == 0 && std::stoi(step[1]) <= 100) << line;
      }
    }
  }
  const auto burnLines = lines(burn.err);  // a step of unknown length has no percentage
  EXPECT_NE(std::find(burnLines.begin(), burnLines.end(), "Staging..."), burnLines.end()) << burn.err;
  EXPECT_TRUE(has(burn.err, "Burning session...\n")) << burn.err;
  EXPECT_TRUE(has(burn.err, "Writing 100%\n")) << burn.err;
  EXPECT_FALSE(has(burn.err, "stopped")) << burn.err;
  // The steps between are shown as they happen, not only the start and the end.
  const auto between = [](const std::string& said, const std::string& what) {
    const auto all = lines(said);
    return std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.starts_with(what) && l != what + "100%"; });
  };
  EXPECT_GE(between(burn.err, "Writing "), 2) << burn.err;
  EXPECT_GE(between(verify.err, "Verifying "), 1) << verify.err;
  EXPECT_TRUE(has(verify.err, "Verifying 100%\n")) << verify.err;
  EXPECT_TRUE(has(erase.err, "Erasing disc...\nErasing ")) << erase.err;
  EXPECT_TRUE(has(erase.err, "Erasing 100%\n")) << erase.err;
  // At a terminal each step is one line drawn over, cut to the width less the
  // last column, which would wrap; at 30 columns the imaging bar just fits.
  ScopedEnv columns("COLUMNS", "30"), fast("TESSALINE_EMULATED_SPEED", "0");
  const auto drawn =
      runProgram("script", {"-qec", std::string(TESSALINE_CLI_PATH) + " burn --yes " + docs(12'000'000), "/dev/null"});
  ASSERT_EQ(drawn.exitCode, 0) << drawn.out;
  std::size_t widest = 0;
  for (auto end = drawn.out.find("\033[K"); end != std::string::npos; end = drawn.out.find("\033[K", end + 1))
    widest = std::max(widest, end - drawn.out.rfind('\r', end) - 1);
  EXPECT_EQ(widest, 29u) << drawn.out;
  EXPECT_TRUE(has(drawn.out, "\rImaging     0% [..........]\033[K")) << drawn.out;
  EXPECT_TRUE(has(drawn.out, "\033[K\r\nBurning session...")) << drawn.out;  // the next line starts afresh
  {  // and so does why a burn failed
    ScopedEnv noTool("TESSALINE_MKISOFS", (temp_ / "bin/missing").string());
    const auto failed =
        runProgram("script", {"-qec", std::string(TESSALINE_CLI_PATH) + " burn --yes " + docs(5), "/dev/null"});
    EXPECT_NE(failed.exitCode, 0);
    EXPECT_TRUE(has(failed.out, "\033[K\r\nThe session image could not be built")) << failed.out;
  }
  // A step that lasts tells its speed and the time it has left.
  ScopedEnv wide("COLUMNS", "120"), timed("TESSALINE_EMULATED_SPEED", "1");
  const auto paced = runProgram(
      "script", {"-qec", std::string(TESSALINE_CLI_PATH) + " burn --yes --speed 10 " + docs(3'000'000), "/dev/null"});
  // Measured from the step's first line, whatever it had done by then; the
  // first reading (after a second) is the one that work done earlier would skew.
  std::smatch first;
  ASSERT_TRUE(std::regex_search(
      paced.out, first, std::regex(R"(Writing +\d+% \[#*\.*\]  [\d.]+ of 3\.\d MB  (\d+\.\d)x 1\.\d MB/s  0:0\d left)")))
      << paced.out;
  EXPECT_NEAR(std::stod(first[1]), 10.0, 1.0) << first.str();
  // A finished step fills its bar.
  EXPECT_TRUE(has(paced.out, "\rWriting   100% [" + std::string(30, '#') + "]")) << paced.out;
  // --quiet: nothing but results and errors, not even a question --yes answers;
  // one left unanswered is still told, with why nothing was burned.
  EXPECT_TRUE(has(runCli({"--quiet", "burn", docs(4)}).err, "Some names are already on the disc\n"));
  EXPECT_EQ(runCli({"--quiet", "burn", "--yes", docs(3)}).err, "");
}

}  // namespace
}  // namespace tessaline::test
