// Whole burns through tessaline-cli on an emulated writer, checked with
// xorriso, isoinfo and isovfy, which we did not write: a disc kept up to date
// session after session, with the questions a user of a backup disc asks
// (is it a true copy, what was deleted since, is a file changed with an
// older date burned again, does a flipped byte on the disc show), and names
// Joliet cannot carry.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "devices/emulated/emulated_medium.h"
#include "support/test_support.h"

namespace tessaline::test {
namespace {

class BurnE2E : public ::testing::Test {
 protected:
  ProcessResult cli(const std::vector<std::string>& args) {
    auto r = runCli(args);
    r.out += r.err;
    return r;
  }
  void mustCli(const std::vector<std::string>& args) {
    const auto r = cli(args);
    ASSERT_EQ(r.exitCode, 0) << r.out;
  }
  QJsonObject json(const std::vector<std::string>& args) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(runCli(args).out)).object();
  }
  std::string medium() { return (temp_ / "writers/rec/medium.img").string(); }
  std::vector<long long> trackStarts() {
    std::vector<long long> starts;
    for (const auto& t : json({"writer", "info", "rec", "--json"})[QStringLiteral("tracks")].toArray())
      starts.push_back(t.toObject()[QStringLiteral("start")].toVariant().toLongLong());
    return starts;
  }
  // Every file and folder of the session at `start` (the last one by default) as xorriso extracts it.
  std::map<std::string, std::string> extract(std::optional<long long> start = std::nullopt) {
    const fs::path out = lastExtract_ = temp_ / ("extract" + std::to_string(++extracts_));
    // A disc image file holds the first session's volume descriptors at its start: name the session to read.
    const auto r = runProgram("xorriso", {"-osirrox", "on", "-indev", "stdio:" + medium(), "-load", "sbsector",
                                          std::to_string(start.value_or(trackStarts().back())), "-extract", "/",
                                          out.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return contents(out);
  }
  static std::map<std::string, std::string> contents(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
      files[fs::relative(it->path(), root).string()] = it->is_regular_file() ? readFile(it->path()) : "(folder)";
    return files;
  }

  // Puts a disc in the writer as if long ago: nothing waits for it to load.
  void insert(const std::vector<std::string>& how) {
    std::vector<std::string> args{"writer", "insert", "rec"};
    args.insert(args.end(), how.begin(), how.end());
    ASSERT_EQ(runCli(args).exitCode, 0);
    const emulated::WriterPaths paths{temp_ / "writers", "rec"};
    auto toc = emulated::readToc(paths).value();
    toc.changedAtMs = 0;
    ASSERT_TRUE(emulated::writeToc(paths, toc));
  }

  // key -> value of each entry of a JSON answer (its "entries", or the whole array).
  static std::map<std::string, std::string> entries(const std::vector<std::string>& args, const char* key,
                                                    const char* value, int exitCode = 0) {
    const auto r = runCli(args);
    EXPECT_EQ(r.exitCode, exitCode) << r.out << r.err;
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
    std::map<std::string, std::string> found;
    std::vector<std::string> order;  // as listed: in name order, what was deleted after the rest
    for (const auto& e : doc.isArray() ? doc.array() : doc.object()[QStringLiteral("entries")].toArray()) {
      const std::string k = e.toObject()[QLatin1String(key)].toString().toStdString();
      found[k] = e.toObject()[QLatin1String(value)].toVariant().toString().toStdString();
      if (found[k] != "deleted") order.push_back(k);
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << r.out;
    return found;
  }
  // Flips one byte of a file's data on the disc itself, which is read again when it comes back in.
  void corrupt(const std::string& discPath) {
    const auto r = runProgram("xorriso", {"-indev", "stdio:" + medium(), "-load", "sbsector",
                                          std::to_string(trackStarts().back()), "-find", discPath, "-exec", "report_lba"});
    std::smatch m;
    const std::string out = r.out + r.err;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(File data lba:\s+\d+\s*,\s*(\d+))"))) << out;
    const off_t at = static_cast<off_t>(std::stoll(m[1])) * 2048;
    const int fd = ::open(medium().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, at), 1);
    byte = static_cast<char>(byte ^ 0x5A);
    ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
    ::close(fd);
    mustCli({"writer", "eject", "rec"});
    insert({"--disc", "Backup"});
  }

  PrivateEnvironment temp_;
  int extracts_ = 0;
  fs::path lastExtract_;
};

TEST_F(BurnE2E, SessionAfterSessionKeepsTheDiscUpToDateAndTellsTheTruthAboutIt) {
  mustCli({"writer", "create", "rec"});
  insert({"--medium", "cd-rw"});
  mustCli({"config", "set", "storeBurnConfiguration", "true"});
  const fs::path docs = temp_ / "home/Docs";
  writeFile(docs / "a.txt", "alpha");
  writeFile(docs / "b.txt", "bravo");
  writeFile(docs / "c.txt", "charlie");
  writeFile(docs / "sub/d.txt", std::string(5000, 'd'));
  setModTime(docs / "a.txt", 1'600'000'000);
  setModTime(docs / "b.txt", 1'600'000'000);

  // 1. The first session, everything in full: a true copy.
  EXPECT_EQ(entries({"preview", "--json", docs.string()}, "path", "reason"),
            (std::map<std::string, std::string>{{".tessaline", "catalogue"}, {"Docs", "full"}, {"Docs/a.txt", "full"},
                                                {"Docs/b.txt", "full"}, {"Docs/c.txt", "full"}, {"Docs/sub", "full"},
                                                {"Docs/sub/d.txt", "full"}}));
  mustCli({"burn", "--volume", "Backup", docs.string()});
  EXPECT_TRUE(temp_.tmpIsEmpty());
  const auto firstStart = trackStarts().front();
  auto first = extract();
  EXPECT_EQ(first["Docs/a.txt"], "alpha");
  EXPECT_EQ(modTime(lastExtract_ / "Docs/a.txt"), 1'600'000'000);
  EXPECT_TRUE(first.contains(".tessaline"));
  EXPECT_EQ(entries({"verify", "--json"}, "path", "state"), (std::map<std::string, std::string>{}));

  // 2. b.txt newer at the same size, a.txt replaced by a version with an older date, c.txt
  // deleted, files and a folder added, and a byte of d.txt flipped on the disc.
  writeFile(docs / "b.txt", "BRAVO");
  setModTime(docs / "b.txt", 1'700'000'000);
  writeFile(docs / "a.txt", "alpha two");
  setModTime(docs / "a.txt", 1'600'000'000 - 3600);
  fs::remove(docs / "c.txt");
  writeFile(docs / "new.txt", "new");
  writeFile(docs / "more/e.txt", "echo");
  corrupt("/Docs/sub/d.txt");
  std::map<std::string, std::string> differs{{"Docs/a.txt", "differs"}, {"Docs/b.txt", "newer"},
                                             {"Docs/c.txt", "deleted"}, {"Docs/more", "not burned"},
                                             {"Docs/new.txt", "not burned"}};
  // Sizes and dates alone cannot see the flipped byte.
  EXPECT_EQ(entries({"verify", "--json", "--quick"}, "path", "state", 1), differs);
  differs["Docs/sub/d.txt"] = "differs";
  EXPECT_EQ(entries({"verify", "--json"}, "path", "state", 1), differs);
  auto reasons = entries({"preview", "--json"}, "path", "reason");
  for (const auto& [path, reason] : std::map<std::string, std::string>{
           {"Docs/a.txt", "changed"}, {"Docs/b.txt", "newer"}, {"Docs/c.txt", "deleted"}, {"Docs/new.txt", "new"},
           {"Docs/more/e.txt", "new"}, {".tessaline", "catalogue"}})
    EXPECT_EQ(reasons[path], reason) << path;
  EXPECT_FALSE(reasons.contains("Docs/sub/d.txt"));
  const std::string preview = cli({"preview"}).out;
  EXPECT_NE(preview.find("deleted   Docs/c.txt\nThe disc keeps the 1 deleted entry above"), std::string::npos) << preview;

  // The update, with the sources the disc remembers: the older a.txt is
  // burned, and --checksum also mends d.txt.
  mustCli({"burn", "--yes", "--checksum"});
  EXPECT_TRUE(temp_.tmpIsEmpty());
  auto second = extract();
  second.erase(".tessaline");
  EXPECT_EQ(second, (std::map<std::string, std::string>{
                        {"Docs", "(folder)"}, {"Docs/a.txt", "alpha two"}, {"Docs/b.txt", "BRAVO"},
                        {"Docs/c.txt", "charlie"},  // sessions only add
                        {"Docs/more", "(folder)"}, {"Docs/more/e.txt", "echo"}, {"Docs/new.txt", "new"},
                        {"Docs/sub", "(folder)"}, {"Docs/sub/d.txt", std::string(5000, 'd')}}));
  EXPECT_EQ(modTime(lastExtract_ / "Docs/b.txt"), 1'700'000'000);
  EXPECT_EQ(entries({"verify", "--json"}, "path", "state"), (std::map<std::string, std::string>{{"Docs/c.txt", "deleted"}}));
  EXPECT_NE(cli({"verify"}).out.find("deleted     Docs/c.txt  ("), std::string::npos);  // states in a column
  // The first session, read on its own, is as it was.
  auto again = extract(firstStart);
  EXPECT_EQ(again["Docs/b.txt"], "bravo");
  EXPECT_FALSE(again.contains("Docs/new.txt"));
  // Which session wrote what, as the disc itself tells it.
  EXPECT_EQ(entries({"ls", "--json", "Docs"}, "name", "session"),
            (std::map<std::string, std::string>{{"a.txt", "2"}, {"b.txt", "2"}, {"c.txt", "1"}, {"more", "2"},
                                                {"new.txt", "2"}, {"sub", "1"}}));
  for (const char* path : {"Docs/c.txt", "./Docs//c.txt"})  // a file on its own, as a shell may complete it
    EXPECT_EQ(entries({"ls", "--json", path}, "name", "session"), (std::map<std::string, std::string>{{"c.txt", "1"}}));
  const auto none = cli({"ls", "Docs/none"});
  EXPECT_NE(none.exitCode, 0);
  EXPECT_NE(none.out.find("the disc has no Docs/none"), std::string::npos) << none.out;
  // Each session as xorriso reads it at its own start: its volume name and the date it was written.
  const auto list = QJsonDocument::fromJson(QByteArray::fromStdString(runCli({"sessions", "--json"}).out)).array();
  ASSERT_EQ(list.size(), 2);
  for (const auto& value : list) {
    const auto s = value.toObject();
    const auto pvd = runProgram("xorriso", {"-indev", "stdio:" + medium(), "-load", "sbsector",
                                            std::to_string(s[QStringLiteral("start")].toInteger()), "-pvd_info"});
    const auto written = QDateTime::fromString(s[QStringLiteral("written")].toString(), Qt::ISODate).toUTC();
    EXPECT_TRUE(written.isValid()) << s[QStringLiteral("written")].toString().toStdString();
    for (const std::string& line : {"Volume Id    : " + s[QStringLiteral("volumeName")].toString().toStdString(),
                                    "Creation Time: " + written.toString(QStringLiteral("yyyyMMddHHmmss")).toStdString()})
      EXPECT_NE((pvd.out + pvd.err).find(line), std::string::npos) << line << "\n" << pvd.out << pvd.err;
  }
  EXPECT_EQ(list[1].toObject()[QStringLiteral("added")].toInt(), 3);  // new.txt, more and more/e.txt
  EXPECT_EQ(list[1].toObject()[QStringLiteral("hidden")].toInt(), 0);
  const std::string table = cli({"sessions"}).out;  // the same, in columns
  EXPECT_NE(table.find("  volume            added  replaced  hidden\n"), std::string::npos) << table;
  EXPECT_TRUE(std::regex_search(table, std::regex(R"(\n      2  [ \d]{7}  [ \d]{7}  [ \d.]{8}  [-\d]{10} [:\d]{8}  Backup {16}3 {9}4 {7}0\n)"))) << table;

  // 3. Erased (only when confirmed) and burned again from the first block.
  writeFile(temp_ / "home/Other/o.txt", "other");
  mustCli({"config", "set", "storeBurnConfiguration", "false"});
  EXPECT_NE(cli({"erase"}).exitCode, 0);  // not confirmed without a terminal
  EXPECT_EQ(trackStarts().size(), 2u);
  mustCli({"erase", "--yes"});
  EXPECT_TRUE(trackStarts().empty());
  mustCli({"burn", (temp_ / "home/Other").string()});
  EXPECT_EQ(trackStarts().front(), 0);
  EXPECT_EQ(extract(0), (std::map<std::string, std::string>{{"Other", "(folder)"}, {"Other/o.txt", "other"}}));
}

// An image tool that fails, is missing or no program, or leaves a short, empty or
// half-written image: the message names what went wrong, nothing reaches the
// disc and nothing stays behind.
TEST_F(BurnE2E, AFailingOrMissingImageToolWritesNothing) {
  mustCli({"writer", "create", "rec"});
  insert({"--medium", "cd-r"});
  const fs::path docs = temp_ / "home/Docs";
  writeFile(docs / "a.txt", "alpha");
  const std::string saysXorrisofs =
      "#!/bin/sh\nif [ \"$1\" = -version ]; then echo 'mkisofs 2.01-Emulation Copyright (C) 2019 see "
      "libburnia-project.org xorriso'; exit 0; fi\nout=\nprev=\nfor a in \"$@\"; do [ \"$prev\" = -o ] && "
      "out=$a; prev=$a; done\n";
  struct Tool {
    const char* name;
    std::string script;  // empty: no such tool
    const char* says;
  };
  for (const Tool& t : std::vector<Tool>{
           {"fails", "#!/bin/sh\necho 'mkisofs: cannot write: disk full' >&2\nexit 1\n", "disk full"},
           {"missing", "", "missing"},
           {"plain", "not a program\n", "not an executable file"},
           {"short", saysXorrisofs + "xorrisofs \"$@\" || exit 1\ntruncate -s 34816 \"$out\"\nexit 0\n", "cut short"},
           {"empty", saysXorrisofs + ": > \"$out\"\nexit 0\n", "package xorriso"},
           {"killed", saysXorrisofs + "head -c 100000 /dev/zero > \"$out\"\nkill -9 $$\n", "ended abnormally"}}) {
    SCOPED_TRACE(t.name);
    if (!t.script.empty()) writeFile(temp_ / "bin" / t.name, t.script);
    if (t.script.starts_with("#!")) fs::permissions(temp_ / "bin" / t.name, fs::perms::owner_all);
    ScopedEnv tool("TESSALINE_MKISOFS", (temp_ / "bin" / t.name).string());
    const auto r = cli({"burn", "--volume", "Backup", docs.string()});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.out.find(t.says), std::string::npos) << r.out;
    EXPECT_TRUE(temp_.tmpIsEmpty());
    EXPECT_TRUE(trackStarts().empty());
  }
}

// A link goes on the disc with its whole target, or the burn is refused
// before anything is written: xorrisofs writes targets of up to 1023 bytes,
// genisoimage (which cuts longer ones short, or never ends) up to 160.
TEST_F(BurnE2E, LinkTargetsGoOnTheDiscWholeOrTheBurnIsRefused) {
  mustCli({"writer", "create", "rec"});
  insert({"--medium", "cd-r"});
  const fs::path links = temp_ / "src/Links";
  const auto target = [](std::size_t bytes) {  // one-letter folders: the most records for the bytes
    std::string t;
    while (t.size() < bytes) t += "/a";
    t.resize(bytes);
    if (t.back() == '/') t.back() = 'b';  // Rock Ridge has no trailing slash
    return t;
  };
  writeFile(links / "a.txt", "a");
  fs::create_symlink(target(1023), links / "longest");
  fs::create_symlink(target(1024), links / "too long");
  for (const auto& command : {std::vector<std::string>{"preview"}, std::vector<std::string>{"burn", "--yes"}}) {
    auto args = command;
    args.push_back(links.string());
    const auto r = cli(args);
    EXPECT_EQ(r.exitCode, 1);
    for (const char* part : {"point further than the image tool writes whole",
                             "Links/too long: the link's target is 1024 bytes long; xorrisofs"})
      EXPECT_NE(r.out.find(part), std::string::npos) << part << " in " << r.out;
    EXPECT_EQ(r.out.find("Links/longest:"), std::string::npos) << r.out;
  }
  EXPECT_TRUE(temp_.tmpIsEmpty());
  EXPECT_TRUE(trackStarts().empty());
  fs::remove(links / "too long");
  fs::create_symlink("g/", links / "slash");  // read back as "g", and the same link
  mustCli({"burn", "--yes", links.string()});
  extract();
  EXPECT_EQ(fs::read_symlink(lastExtract_ / "Links/longest").string(), target(1023));
  EXPECT_NE(cli({"preview", links.string()}).out.find("The disc is up to date"), std::string::npos);
  EXPECT_NE(cli({"verify", links.string()}).out.find("The disc is a true copy"), std::string::npos);

  ScopedEnv tool("TESSALINE_MKISOFS", "/usr/bin/genisoimage");
  const std::string name(100, 'n');  // a long name leaves the target the least room in its record
  fs::create_symlink(target(161), links / name);
  const auto r = cli({"burn", "--yes", links.string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("161 bytes long; genisoimage (/usr/bin/genisoimage, package genisoimage) writes link "
                       "targets of at most 160 bytes.\nxorrisofs (package xorriso) writes them up to 1023 bytes."),
            std::string::npos) << r.out;
  EXPECT_EQ(trackStarts().size(), 1u);
  fs::remove(links / name);
  fs::create_symlink(target(160), links / name);
  mustCli({"burn", "--yes", links.string()});
  extract();
  EXPECT_EQ(fs::read_symlink(lastExtract_ / "Links" / name).string(), target(160));
  EXPECT_EQ(fs::read_symlink(lastExtract_ / "Links/longest").string(), target(1023));  // carried from the first session
}

// Dates a disc cannot hold (it counts years from 1900 to 2155) go on it as the
// nearest it holds in any time zone, whichever tool writes them, and count as
// the same at the next look. A date before 1901 needs a source on a file system
// that keeps one, as tmpfs does, and the staging folder on one that does not.
TEST_F(BurnE2E, DatesBeyondWhatADiscHoldsGoOnAsTheNearestAndStayUpToDate) {
  constexpr long long k2300 = 10'413'792'000, k2155Dec30 = 5'869'411'200;
  constexpr long long k1850 = -3'786'825'600, k1902 = -2'145'916'800;
  mustCli({"writer", "create", "rec"});
  insert({"--medium", "cd-rw"});
  const fs::path future = temp_ / "src/Future";
  char shm[] = "/dev/shm/tessaline-test-XXXXXX";
  const fs::path past = ::mkdtemp(shm) != nullptr ? fs::path(shm) / "Past" : temp_ / "src/Past";
  writeFile(past / "old.txt", "old");
  setModTime(past / "old.txt", k1850);
  const bool pastKept = modTime(past / "old.txt") == k1850;
  for (const auto& [tool, zone] : {std::pair{"/usr/bin/xorrisofs", "<+14>-14"}, {"/usr/bin/genisoimage", "<-12>12"}}) {
    SCOPED_TRACE(tool);
    ScopedEnv useTool("TESSALINE_MKISOFS", tool);
    ScopedEnv timeZone("TZ", zone);
    writeFile(future / "new.txt", tool);  // another size: this tool writes it
    setModTime(future / "new.txt", k2300);
    mustCli({"burn", "--yes", future.string(), past.string()});
    extract();
    EXPECT_EQ(modTime(lastExtract_ / "Future/new.txt"), k2155Dec30);
    if (pastKept) {
      EXPECT_EQ(modTime(lastExtract_ / "Past/old.txt"), k1902);
    }
    EXPECT_NE(cli({"preview", future.string(), past.string()}).out.find("The disc is up to date"), std::string::npos);
    EXPECT_NE(cli({"verify", future.string(), past.string()}).out.find("The disc is a true copy"), std::string::npos);
  }
  EXPECT_EQ(modTime(future / "new.txt"), k2300);  // the user's file keeps its own date
  if (past.parent_path() != temp_ / "src") fs::remove_all(past.parent_path());
}

// Names Joliet cannot carry (an emoji, a Latin-1 name, 200 characters, two
// names equal once cut) on a disc that takes a further session; each session
// read back by xorriso, isoinfo and isovfy. genisoimage, still a choice,
// cannot continue such a disc and says so.
TEST_F(BurnE2E, EveryDiscCanBeContinuedAndEveryNameSurvives) {
  mustCli({"writer", "create", "rec"});
  insert({"--medium", "cd-r"});
  const fs::path docs = temp_ / "src/Docs";
  const std::string party = "party \xF0\x9F\x8E\x89.txt";
  const std::string latin1 = "raw-\xff.txt";
  const std::string longName(200, 'L');
  const std::string cutA = std::string(110, 'c') + "-one.txt";
  const std::string cutB = std::string(110, 'c') + "-two.txt";
  for (const std::string& name : {party, latin1, longName, cutA, cutB, std::string("plain.txt")})
    writeFile(docs / name, "first " + name);

  // The preview names what Joliet shows differently, and only that: an empty
  // folder is in the Joliet tree, a link is not.
  const auto warnedIn = [&](const fs::path& source) {
    std::set<std::string> warned;
    for (const auto& w : json({"preview", "--json", source.string()})[QStringLiteral("warnings")].toArray())
      warned.insert(w.toObject()[QStringLiteral("path")].toString().toStdString());
    return warned;
  };
  EXPECT_EQ(warnedIn(docs),
            (std::set<std::string>{"Docs/raw-\\xff.txt", "Docs/" + longName, "Docs/" + cutA, "Docs/" + cutB}));
  const fs::path odd = temp_ / "src/Odd";
  fs::create_directories(odd / "empty-\xfe");
  fs::create_symlink("nowhere", odd / "link-\xfd");
  EXPECT_EQ(warnedIn(odd), (std::set<std::string>{"Odd/empty-\\xfe"}));

  const auto checkSession = [&](int session) {
    SCOPED_TRACE("session " + std::to_string(session));
    EXPECT_TRUE(temp_.tmpIsEmpty());
    const long long start = trackStarts().back();
    auto read = extract(start);
    std::erase_if(read, [](const auto& entry) { return !entry.first.starts_with("Docs/"); });
    std::map<std::string, std::string> expected;
    for (const auto& [name, content] : contents(docs)) expected["Docs/" + name] = content;
    EXPECT_EQ(read, expected);  // Rock Ridge: exact names, equal contents
    // The Joliet tree as isoinfo reads it, one path a line: every entry, and the folder.
    const auto r = runProgram("isoinfo", {"-J", "-f", "-T", std::to_string(start), "-i", medium()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> joliet;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) joliet.push_back(line);
    EXPECT_EQ(joliet.size(), expected.size() + 1);
    for (const std::string& name : {std::string("raw-_.txt"), std::string("plain.txt"), std::string(103, 'L')})
      EXPECT_NE(std::find(joliet.begin(), joliet.end(), "/Docs/" + name), joliet.end()) << name;
    // isovfy reads a session's volume descriptors where a reader finds the
    // last session's: a copy of the medium with them at its start.
    const fs::path copy = temp_ / "isovfy.img";
    fs::remove(copy);
    EXPECT_EQ(runProgram("cp", {"--sparse=always", medium(), copy.string()}).exitCode, 0);
    EXPECT_EQ(runProgram("dd", {"if=" + medium(), "of=" + copy.string(), "bs=2048", "skip=" + std::to_string(start),
                                "count=18", "conv=notrunc", "status=none"})
                  .exitCode,
              0);
    const auto verified = runProgram("isovfy", {copy.string()});
    EXPECT_NE((verified.out + verified.err).find("No errors found"), std::string::npos) << verified.out << verified.err;
  };
  mustCli({"burn", "--volume", "Names", docs.string()});
  checkSession(1);

  // Changed emoji and Latin-1 files and a new folder: the disc takes the update.
  writeFile(docs / party, "second");
  setModTime(docs / party, 1'900'000'000);
  writeFile(docs / latin1, "third");
  setModTime(docs / latin1, 1'900'000'100);
  writeFile(docs / "new \xF0\x9F\x93\x81/inner.txt", "new");
  mustCli({"burn", "--yes", docs.string()});
  checkSession(2);

  // genisoimage cannot merge sessions holding names Joliet cannot carry:
  // refused once, clearly, naming both ways to hide the previous sessions,
  // before anything is staged; hiding them, it burns.
  ScopedEnv tool("TESSALINE_MKISOFS", "/usr/bin/genisoimage");
  writeFile(temp_ / "src/More/m.txt", "m");
  const auto r = cli({"burn", "--yes", (temp_ / "src/More").string()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.out.find("genisoimage (/usr/bin/genisoimage, package genisoimage) cannot continue"), std::string::npos)
      << r.out;
  for (const char* part : {"\"Docs/new \xF0\x9F\x93\x81\" and 2 more", "\"Hide previous sessions\"", "--hide-previous"}) {
    const auto at = r.out.find(part);
    EXPECT_NE(at, std::string::npos) << part << " in " << r.out;
    EXPECT_EQ(r.out.find(part, at + 1), std::string::npos) << part << " twice in " << r.out;
  }
  EXPECT_TRUE(temp_.tmpIsEmpty());
  EXPECT_EQ(trackStarts().size(), 2u);
  mustCli({"burn", "--yes", "--hide-previous", (temp_ / "src/More").string()});
  EXPECT_EQ(extract(), (std::map<std::string, std::string>{{"More", "(folder)"}, {"More/m.txt", "m"}}));
}

}  // namespace
}  // namespace tessaline::test
