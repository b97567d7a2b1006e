// Whole burns through tessaline-cli on an emulated writer, checked with
// xorriso and isoinfo, which we did not write.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

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

TEST_F(BurnE2E, OddNamesReachTheDiscExactly) {
  makeWriter("cd-r");
  const fs::path src = temp_ / "src/Odd";
  const std::string latin1 = "caf\xe9.txt";  // not UTF-8
  const std::string longName = std::string(196, 'n') + ".txt";
  for (const std::string& name : {std::string("with space.txt"), std::string("-leading dash"),
                                  std::string("Gr\xc3\xbc\xc3\x9f" "e.txt"), latin1, longName})
    writeFile(src / name, name);
  mustCli({"burn", src.string()});
  const auto names = tree(extract());
  for (const std::string& name : {std::string("with space.txt"), std::string("-leading dash"),
                                  std::string("Gr\xc3\xbc\xc3\x9f" "e.txt"), latin1, longName})
    EXPECT_TRUE(names.count("Odd/" + name)) << name;
  // Joliet (Rock Ridge ignored): valid UTF-8 names are right, the one
  // that is not UTF-8 is left out.
  const auto start = trackStarts().back();
  const auto joliet = runProgram("xorriso", {"-read_fs", "norock", "-indev", "stdio:" + medium(),
                                             "-load", "sbsector", std::to_string(start), "-find", "/"});
  ASSERT_EQ(joliet.exitCode, 0) << joliet.err;
  EXPECT_NE(joliet.out.find("/Odd/Gr\xc3\xbc\xc3\x9f" "e.txt"), std::string::npos) << joliet.out;
  EXPECT_NE(joliet.out.find("/Odd/with space.txt"), std::string::npos) << joliet.out;
  EXPECT_EQ(joliet.out.find("caf"), std::string::npos) << joliet.out;

  // The image tool cannot continue a disc holding such a name: the burn says
  // why and what to do, writes nothing, and hiding the previous sessions works.
  writeFile(temp_ / "src/More/m.txt", "m");
  const auto r = cli({"burn", "--yes", (temp_ / "src/More").string()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(lastOutput_.find("Hide previous sessions"), std::string::npos) << lastOutput_;
  EXPECT_EQ(trackStarts().size(), 1u);
  mustCli({"burn", "--yes", "--hide-previous", (temp_ / "src/More").string()});
  EXPECT_EQ(tree(extract()), (std::set<std::string>{"More", "More/m.txt"}));
}

}  // namespace
}  // namespace tessaline::test
