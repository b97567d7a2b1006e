// Whole burns through tessaline-cli on an emulated writer, checked with
// xorriso and isoinfo, which we did not write.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "support/test_support.h"

namespace tessaline::test {
namespace {

class BurnE2E : public ::testing::Test {
 protected:

  ProcessResult cli(const std::vector<std::string>& args) {
    auto result = runCli(args);
    lastOutput_ = result.out + result.err;
    return result;
  }
  void mustCli(const std::vector<std::string>& args) {
    const auto r = cli(args);
    ASSERT_EQ(r.exitCode, 0) << lastOutput_;
  }
  void makeWriter(const std::string& medium, const std::vector<std::string>& extra = {}) {
    mustCli({"writer", "create", "rec"});
    std::vector<std::string> args{"writer", "insert", "rec", "--medium", medium};
    args.insert(args.end(), extra.begin(), extra.end());
    mustCli(args);
  }
  QJsonObject info() {
    const auto r = cli({"writer", "info", "rec", "--json"});
    EXPECT_EQ(r.exitCode, 0) << lastOutput_;
    return QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
  }
  std::string medium() { return info()[QStringLiteral("mediumFile")].toString().toStdString(); }
  std::vector<long long> trackStarts() {
    std::vector<long long> starts;
    for (const auto& t : info()[QStringLiteral("tracks")].toArray())
      starts.push_back(t.toObject()[QStringLiteral("start")].toVariant().toLongLong());
    return starts;
  }
  // Extracts the session starting at block (or the last one) with xorriso.
  fs::path extract(std::optional<long long> sessionStart = std::nullopt) {
    static int n = 0;
    const fs::path out = temp_ / ("extract" + std::to_string(++n));
    // A disc image file holds the first session's volume descriptors at its
    // start: name the session to read.
    if (!sessionStart) sessionStart = trackStarts().back();
    std::vector<std::string> args{"-osirrox", "on", "-indev", "stdio:" + medium(), "-load", "sbsector",
                                  std::to_string(*sessionStart)};
    args.insert(args.end(), {"-extract", "/", out.string()});
    const auto r = runProgram("xorriso", args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }
  std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> names;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
      names.insert(fs::relative(it->path(), root).string());
    return names;
  }
  QJsonArray previewEntries(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"preview", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = cli(args);
    EXPECT_EQ(r.exitCode, 0) << lastOutput_;
    return QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object()[QStringLiteral("entries")].toArray();
  }
  bool tmpIsEmpty() { return temp_.tmpIsEmpty(); }
  // Every file below root with its contents.
  std::map<std::string, std::string> contents(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
      files[fs::relative(it->path(), root).string()] = it->is_regular_file() ? readFile(it->path()) : "(folder)";
    return files;
  }
  // The Joliet tree of the session at start as isoinfo reads it, one path a line.
  std::vector<std::string> isoinfoJoliet(long long start) {
    const auto r = runProgram("isoinfo", {"-J", "-f", "-T", std::to_string(start), "-i", medium()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> paths;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) paths.push_back(line);
    return paths;
  }
  // isovfy reads a session's volume descriptors where a reader finds the
  // last session's: a copy of the medium with them at its start.
  std::string isovfy(long long start) {
    const fs::path copy = temp_ / "isovfy.img";
    fs::remove(copy);
    EXPECT_EQ(runProgram("cp", {"--sparse=always", medium(), copy.string()}).exitCode, 0);
    EXPECT_EQ(runProgram("dd", {"if=" + medium(), "of=" + copy.string(), "bs=2048", "skip=" + std::to_string(start),
                                "count=18", "conv=notrunc", "status=none"})
                  .exitCode,
              0);
    const auto r = runProgram("isovfy", {copy.string()});
    fs::remove(copy);
    return r.out + r.err;
  }

  PrivateEnvironment temp_;
  std::string lastOutput_;
};

TEST_F(BurnE2E, SessionAfterSessionKeepsTheDiscUpToDate) {
  makeWriter("cd-r");
  mustCli({"config", "set", "storeBurnConfiguration", "true"});
  const fs::path docs = temp_ / "home/Docs";
  writeFile(docs / "a.txt", "alpha");
  writeFile(docs / "b.txt", "bravo");
  setModTime(docs / "a.txt", 1'600'000'000);
  setModTime(docs / "b.txt", 1'600'000'000);

  // 1. First session.
  mustCli({"burn", "--volume", "Backup", docs.string()});
  EXPECT_TRUE(tmpIsEmpty());
  const auto firstStart = trackStarts().front();
  auto first = extract();
  EXPECT_EQ(readFile(first / "Docs/a.txt"), "alpha");
  EXPECT_EQ(modTime(first / "Docs/a.txt"), 1'600'000'000);
  EXPECT_TRUE(fs::exists(first / ".tessaline"));

  // 2. Change one file, add a file and a folder; burn with no sources.
  writeFile(docs / "b.txt", "bravo two");
  setModTime(docs / "b.txt", 1'700'000'000);
  writeFile(docs / "new.txt", "new");
  writeFile(docs / "sub/c.txt", "charlie");
  const auto entries = previewEntries();
  std::set<std::string> staged;
  for (const auto& e : entries) {
    const auto o = e.toObject();
    if (o[QStringLiteral("type")].toString() == QLatin1String("file"))
      staged.insert(o[QStringLiteral("path")].toString().toStdString() + ":" +
                    o[QStringLiteral("reason")].toString().toStdString());
  }
  EXPECT_EQ(staged, (std::set<std::string>{"Docs/b.txt:newer", "Docs/new.txt:new", "Docs/sub/c.txt:new",
                                           ".tessaline:catalogue"}));
  mustCli({"burn", "--yes"});
  EXPECT_TRUE(tmpIsEmpty());
  auto second = extract();
  EXPECT_EQ(readFile(second / "Docs/a.txt"), "alpha");
  EXPECT_EQ(readFile(second / "Docs/b.txt"), "bravo two");
  EXPECT_EQ(modTime(second / "Docs/b.txt"), 1'700'000'000);
  EXPECT_EQ(readFile(second / "Docs/sub/c.txt"), "charlie");
  // The first session, read on its own, is as it was.
  auto again = extract(firstStart);
  EXPECT_EQ(readFile(again / "Docs/b.txt"), "bravo");
  EXPECT_FALSE(fs::exists(again / "Docs/new.txt"));

  // 3. Hiding the previous sessions: the new tree holds only its own files.
  writeFile(temp_ / "home/Other/o.txt", "other");
  mustCli({"config", "set", "storeBurnConfiguration", "false"});
  mustCli({"burn", "--hide-previous", "--yes", (temp_ / "home/Other").string()});
  auto third = extract();
  EXPECT_EQ(tree(third), (std::set<std::string>{"Other", "Other/o.txt"}));
  EXPECT_EQ(trackStarts().size(), 3u);
}

TEST_F(BurnE2E, RefusedBurnsWriteNothing) {
  // Too little space.
  makeWriter("cd-r", {"--blocks", "400"});
  writeFile(temp_ / "big/data.bin", std::string(2'000'000, 'd'));
  auto r = cli({"burn", (temp_ / "big").string()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(lastOutput_.find("not enough free space"), std::string::npos) << lastOutput_;
  EXPECT_EQ(trackStarts().size(), 0u);

  // No disc, and a closed disc.
  mustCli({"writer", "eject", "rec"});
  r = cli({"burn", (temp_ / "big").string()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(lastOutput_.find("no disc"), std::string::npos) << lastOutput_;
  writeFile(temp_ / "s/x.txt", "x");
  const fs::path image = temp_ / "s.iso";
  ASSERT_EQ(runProgram("genisoimage", {"-quiet", "-r", "-o", image.string(), (temp_ / "s").string()}).exitCode, 0);
  mustCli({"writer", "insert", "rec", "--medium", "cd-r", "--session", image.string(), "--closed"});
  r = cli({"burn", (temp_ / "big").string()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(trackStarts().size(), 1u);
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(BurnE2E, AFailingImageToolLeavesNothingBehindAndTheNextBurnWorks) {
  makeWriter("cd-r");
  writeFile(temp_ / "src/Docs/a.txt", "a");
  writeFile(temp_ / "bin/mkisofs", "#!/bin/sh\necho 'mkisofs: cannot write: disk full' >&2\nexit 1\n");
  fs::permissions(temp_ / "bin/mkisofs", fs::perms::owner_all);
  {
    ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin/mkisofs").string());
    const auto r = cli({"burn", (temp_ / "src/Docs").string()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(lastOutput_.find("disk full"), std::string::npos) << lastOutput_;
    EXPECT_TRUE(tmpIsEmpty());
    EXPECT_EQ(trackStarts().size(), 0u);
  }
  {
    ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin/missing-mkisofs").string());
    const auto r = cli({"burn", (temp_ / "src/Docs").string()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(lastOutput_.find("missing-mkisofs"), std::string::npos) << lastOutput_;
  }
  if (!fs::exists(fs::path(TESSALINE_LIBEXECDIR) / "mkisofs")) {
    ScopedEnv path("PATH", (temp_ / "bin").string());  // no xorrisofs there
    const auto r = cli({"burn", (temp_ / "src/Docs").string()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(lastOutput_.find("install the package xorriso"), std::string::npos) << lastOutput_;
    EXPECT_TRUE(tmpIsEmpty());
  }
  mustCli({"burn", (temp_ / "src/Docs").string()});
  EXPECT_EQ(readFile(extract() / "Docs/a.txt"), "a");
}

TEST_F(BurnE2E, ARewritableDiscIsErasedAndBurnedAgainFromBlank) {
  makeWriter("cd-rw");
  writeFile(temp_ / "src/One/a.txt", "one");
  mustCli({"burn", (temp_ / "src/One").string()});
  EXPECT_EQ(trackStarts().size(), 1u);
  EXPECT_NE(cli({"erase"}).exitCode, 0);  // not confirmed without a terminal
  EXPECT_EQ(trackStarts().size(), 1u);
  mustCli({"erase", "--yes"});
  EXPECT_EQ(trackStarts().size(), 0u);
  writeFile(temp_ / "src/Two/b.txt", "two");
  mustCli({"burn", (temp_ / "src/Two").string()});
  EXPECT_EQ(trackStarts().front(), 0);
  EXPECT_EQ(tree(extract()), (std::set<std::string>{"Two", "Two/b.txt"}));
}

// Names Joliet cannot carry (an emoji, a Latin-1 name, 200 characters, two
// names equal once cut) on a disc that takes session after session; each
// session read back by xorriso, isoinfo and isovfy.
TEST_F(BurnE2E, EveryDiscCanBeContinuedAndEveryNameSurvives) {
  makeWriter("cd-r");
  const fs::path docs = temp_ / "src/Docs";
  const std::string party = "party \xF0\x9F\x8E\x89.txt";
  const std::string latin1 = "raw-\xff.txt";
  const std::string longName(200, 'L');
  const std::string cutA = std::string(110, 'c') + "-one.txt";
  const std::string cutB = std::string(110, 'c') + "-two.txt";
  for (const std::string& name : {party, latin1, longName, cutA, cutB, std::string("plain.txt")})
    writeFile(docs / name, "first " + name);

  // The preview names what Joliet shows differently, and only that.
  const auto r = cli({"preview", "--json", docs.string()});
  ASSERT_EQ(r.exitCode, 0) << lastOutput_;
  std::set<std::string> warned;
  const auto preview = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
  for (const auto& w : preview[QStringLiteral("warnings")].toArray())
    warned.insert(w.toObject()[QStringLiteral("path")].toString().toStdString());
  EXPECT_EQ(warned, (std::set<std::string>{"Docs/raw-\\xff.txt", "Docs/" + longName, "Docs/" + cutA, "Docs/" + cutB}));

  const auto checkSession = [&](int session) {
    SCOPED_TRACE("session " + std::to_string(session));
    EXPECT_TRUE(tmpIsEmpty());
    const long long start = trackStarts().back();
    const fs::path read = extract(start);
    EXPECT_EQ(contents(read / "Docs"), contents(docs));  // Rock Ridge: exact names, equal contents
    const auto joliet = isoinfoJoliet(start);
    EXPECT_EQ(joliet.size(), contents(docs).size() + 1);  // every entry, and the folder
    EXPECT_NE(std::find(joliet.begin(), joliet.end(), "/Docs/raw-_.txt"), joliet.end());
    EXPECT_NE(std::find(joliet.begin(), joliet.end(), "/Docs/plain.txt"), joliet.end());
    EXPECT_NE(std::find(joliet.begin(), joliet.end(), "/Docs/" + std::string(103, 'L')), joliet.end());
    const std::string verified = isovfy(start);
    EXPECT_NE(verified.find("No errors found"), std::string::npos) << verified;
  };
  mustCli({"burn", "--volume", "Names", docs.string()});
  checkSession(1);

  // A changed emoji file and a new file: the disc takes the update.
  writeFile(docs / party, "second");
  setModTime(docs / party, 1'900'000'000);
  writeFile(docs / "new \xF0\x9F\x93\x81/inner.txt", "new");
  mustCli({"burn", "--yes", docs.string()});
  checkSession(2);

  // And another: the Latin-1 file changed, the sources remembered by the disc.
  writeFile(docs / latin1, "third");
  setModTime(docs / latin1, 1'900'000'100);
  mustCli({"burn", "--yes", docs.string()});
  checkSession(3);
  EXPECT_EQ(trackStarts().size(), 3u);
}

// genisoimage stays a choice: a disc it cannot continue is refused once,
// clearly, and hiding the previous sessions burns.
TEST_F(BurnE2E, GenisoimageRefusesADiscItCannotContinueWithOneClearMessage) {
  makeWriter("cd-r");
  writeFile(temp_ / "src/Odd/caf\xe9.txt", "latin");
  writeFile(temp_ / "src/More/m.txt", "m");
  mustCli({"burn", (temp_ / "src/Odd").string()});
  ScopedEnv tool("TESSALINE_MKISOFS", "/usr/bin/genisoimage");
  const auto r = cli({"burn", "--yes", (temp_ / "src/More").string()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(lastOutput_.find("genisoimage (/usr/bin/genisoimage, package genisoimage) cannot continue"),
            std::string::npos) << lastOutput_;
  for (const char* part : {"Odd/caf\\xe9.txt", "\"Hide previous sessions\"", "--hide-previous"}) {
    const auto first = lastOutput_.find(part);
    EXPECT_NE(first, std::string::npos) << part << " in " << lastOutput_;
    EXPECT_EQ(lastOutput_.find(part, first + 1), std::string::npos) << part << " twice in " << lastOutput_;
  }
  EXPECT_EQ(trackStarts().size(), 1u);
  EXPECT_TRUE(tmpIsEmpty());
  mustCli({"burn", "--yes", "--hide-previous", (temp_ / "src/More").string()});
  EXPECT_EQ(tree(extract()), (std::set<std::string>{"More", "More/m.txt"}));
}

}  // namespace
}  // namespace tessaline::test
