#include "staging/file_operations.h"
#include "staging/disc_comparison.h"
#include "staging/fork_splitting.h"

#include "staging_test_util.h"

#include <gtest/gtest.h>

#include <set>

#include <sys/stat.h>

using namespace tessaline;
using namespace tessaline::test;
namespace ko = tessaline::kplextensions;

TEST(FileOperations, AnEntryDiffersFromTheDiscsCopyBySizeOrAnyDateInWholeSeconds) {
  TempDir dir;
  using ko::DiscCopy;
  struct Case {
    const char* what;
    std::string disc;         // the disc copy's contents
    long long discSeconds;
    long long sourceNs;       // the source's fraction of a second
    long long sourceSeconds;
    DiscCopy expected;
    DiscCopy byContents;
  };
  const Case cases[] = {
      // Linux keeps nanoseconds; the disc's copy has whole seconds.
      {"same second", "x", 1000, 900000000, 1000, DiscCopy::Same, DiscCopy::Same},
      {"a second later", "x", 1000, 0, 1001, DiscCopy::Newer, DiscCopy::Same},
      {"restored with an older date", "x", 1000, 0, 999, DiscCopy::Changed, DiscCopy::Same},
      {"another size, same date", "xy", 1000, 0, 1000, DiscCopy::Changed, DiscCopy::Changed},
      {"other bytes, same size and date", "y", 1000, 0, 1000, DiscCopy::Same, DiscCopy::Changed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir / "src", "x");
    writeFile(dir / "disc", c.disc);
    setModTimeNs(dir / "src", c.sourceSeconds, c.sourceNs);
    setModTime(dir / "disc", c.discSeconds);
    struct stat st {};
    ASSERT_EQ(lstat((dir / "src").c_str(), &st), 0);
    EXPECT_EQ(ko::compareWithDiscCopy(dir / "src", st.st_mode, st.st_size, st.st_mtim, dir / "disc"), c.expected);
    EXPECT_EQ(ko::compareWithDiscCopy(dir / "src", st.st_mode, st.st_size, st.st_mtim, dir / "disc",
                                      ko::ChangeTest::Contents),
              c.byContents);
    EXPECT_EQ(ko::pathModDate(dir / "src", dir / "disc"), c.expected != DiscCopy::Same);
  }
  // Nothing at the other path, or a dangling link there: missing.
  setModTime(dir / "disc", 1000);
  EXPECT_TRUE(ko::pathModDate(dir / "src", dir / "missing"));
  makeLink("missing", dir / "dangling");
  EXPECT_TRUE(ko::pathModDate(dir / "src", dir / "dangling"));
  // A link meets a link as itself: a dangling link burned before is the same entry.
  makeLink("missing", dir / "burned");
  setModTime(dir / "dangling", 3000);
  setModTime(dir / "burned", 3000);
  EXPECT_FALSE(ko::pathModDate(dir / "dangling", dir / "burned"));
  // A folder is newer or the same: its date says little about what it holds.
  fs::create_directories(dir / "srcdir");
  fs::create_directories(dir / "discdir");
  setModTime(dir / "srcdir", 10);
  setModTime(dir / "discdir", 20);
  EXPECT_FALSE(ko::pathModDate(dir / "srcdir", dir / "discdir"));
  EXPECT_TRUE(ko::pathModDate(dir / "discdir", dir / "srcdir"));
}

TEST(FileOperations, CopyKeepsDataModeAttributesAndLinksAndNeverOverwrites) {
  TempDir dir;
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
  writeFile(dir / "src", big);
  chmod((dir / "src").c_str(), 0751);
  setAttr(dir / "src", "user.com.apple.ResourceFork", std::string("fork\0data", 9));
  setAttr(dir / "src", "user.other", "kept");
  writeFile(dir / "empty", "");
  const auto before = snapshotTree(dir / "src");
  const auto beforeEmpty = snapshotTree(dir / "empty");

  ASSERT_TRUE(ko::copyPath(dir / "src", dir / "dst").ok());
  EXPECT_EQ(readFile(dir / "dst"), big);
  EXPECT_EQ(fs::status(dir / "dst").permissions(), static_cast<fs::perms>(0751));
  EXPECT_EQ(getAttr(dir / "dst", "user.com.apple.ResourceFork"), std::string("fork\0data", 9));
  EXPECT_EQ(getAttr(dir / "dst", "user.other"), "kept");
  ASSERT_TRUE(ko::copyPath(dir / "empty", dir / "empty2").ok());
  EXPECT_EQ(fs::file_size(dir / "empty2"), 0u);

  writeFile(dir / "exists", "mine");
  const Status again = ko::copyPath(dir / "src", dir / "exists");
  EXPECT_FALSE(again.ok());
  EXPECT_EQ(readFile(dir / "exists"), "mine");
  // A link at the destination is not written through either.
  makeLink("victim", dir / "trap");
  EXPECT_FALSE(ko::copyPath(dir / "src", dir / "trap").ok());
  EXPECT_FALSE(fs::exists(dir / "victim"));

  EXPECT_EQ(snapshotTree(dir / "src"), before);
  EXPECT_EQ(snapshotTree(dir / "empty"), beforeEmpty);

  // A link is copied as the link; a pipe is refused without hanging.
  makeLink("../somewhere/else", dir / "link");
  ASSERT_TRUE(ko::copyPath(dir / "link", dir / "copy").ok());
  EXPECT_EQ(fs::read_symlink(dir / "copy"), "../somewhere/else");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ko::copyPath(dir / "fifo", dir / "fifo2").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "fifo2")));
  EXPECT_EQ(ko::copyPath(dir / "missing", dir / "x").error().kind, ErrorKind::NotFound);
  // A file that fails to read (the kernel's memory file fails at its first byte, as a
  // damaged disk would): said, without hanging, and no half copy is left.
  const Status unreadable = ko::copyPath("/proc/self/mem", dir / "mem");
  ASSERT_FALSE(unreadable.ok());
  EXPECT_NE(unreadable.error().message.find("Input/output error"), std::string::npos) << unreadable.error().message;
  EXPECT_FALSE(fs::exists(dir / "mem"));
}

// A staging file system without extended attributes (ramfs has none): the
// data is still copied, the loss is logged.
TEST(FileOperations, CopyOntoAFileSystemWithoutAttributesKeepsTheDataAndLogs) {
  TempDir dir;
  const fs::path mountPoint = dir / "ramfs";
  const test::ScopedMount ramfs(mountPoint, "ramfs", nullptr);
  if (!ramfs.mounted()) GTEST_SKIP() << ramfs.why();
  writeFile(dir / "src", "data");
  setAttr(dir / "src", "user.com.apple.FinderInfo", std::string(32, 'x'));
  CapturedLog log;
  ASSERT_TRUE(ko::copyPath(dir / "src", mountPoint / "dst").ok());
  EXPECT_EQ(readFile(mountPoint / "dst"), "data");
  EXPECT_TRUE(log.hasPrefix("cannot keep the extended attributes of " + (dir / "src").native()));
}

// Verifying a source that fails to read (a link to the kernel's memory file,
// followed as a burn follows it) beside its disc copy of the same size: it
// differs from its first byte, and nothing is read past either file.
TEST(DiscComparisonReads, ASourceThatFailsToReadDiffersFromItsFirstByte) {
  TempDir dir;
  fs::create_directories(dir / "src");
  makeLink("/proc/self/mem", dir / "src/mem");
  writeFile(dir / "disc/src/mem", "");
  setModTime(dir / "disc/src/mem", 4102444800);  // 2100: the source is not newer
  const DiscComparison result = compareDiscWithSources({dir / "src"}, dir / "disc", {});
  ASSERT_EQ(result.entries.size(), 1u);
  EXPECT_EQ(result.entries[0].path, "src/mem");
  EXPECT_EQ(result.entries[0].state, DiscEntryState::Differs);
  EXPECT_EQ(result.entries[0].detail, "the contents differ from byte 0");
  // A burn comparing contents meets the same failure and calls the file changed, at once.
  const ChildOutcome same = runInChild([&] { return ko::sameContents("/proc/self/mem", dir / "disc/src/mem") ? 1 : 0; }, 5);
  EXPECT_TRUE(same.exited && same.code == 0) << same.signal;
}

// The same for a side file on the disc that this user cannot read: it is not
// taken for the source's fork.
TEST(DiscComparisonReads, ASideFileThatCannotBeReadDiffers) {
  TempDir dir;
  for (const char* copy : {"src/f", "disc/src/f"}) {
    writeFile(dir / copy, "x");
    setAttr(dir / copy, kResourceForkAttribute, "rsrc");
    setModTime(dir / copy, 1000);
  }
  splitForksAtPath(dir / "disc");  // the side file as a burn writes it
  ASSERT_EQ(::chmod((dir / "disc/src/._f").c_str(), 0), 0);
  openUpForNobody(dir / "disc/src");
  openUpForNobody(dir / "src");
  const int code = runAsNobody([&] {
    const DiscComparison result = compareDiscWithSources({dir / "src"}, dir / "disc", {});
    return result.entries.size() == 1 && result.entries[0].path == "src/._f" &&
                   result.entries[0].state == DiscEntryState::Differs
               ? 0
               : 1;
  });
  EXPECT_EQ(code, 0);
}

// A folder reached through two links is compared at each place the disc holds it.
TEST(DiscComparisonReads, AFolderReachedTwiceIsComparedAtBothPlaces) {
  TempDir dir;
  writeFile(dir / "real/f.txt", "new");
  fs::create_directories(dir / "src");
  for (const char* name : {"one", "two"}) {
    makeLink((dir / "real").native(), dir / "src" / name);
    fs::create_directories(dir / "disc/src" / name);
  }
  std::set<std::string> neverBurned;
  for (const DiscEntry& e : compareDiscWithSources({dir / "src"}, dir / "disc", {}).entries)
    if (e.state == DiscEntryState::OnlyInSource) neverBurned.insert(e.path);
  EXPECT_EQ(neverBurned, (std::set<std::string>{"src/one/f.txt", "src/two/f.txt"}));
}
