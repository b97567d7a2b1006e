#include "staging/file_operations.h"

#include "staging_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/mount.h>

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

TEST(FileOperations, CloneModDateSetsTheTargetOnlyAndNotThroughLinks) {
  TempDir dir;
  writeFile(dir / "from", "a");
  writeFile(dir / "target", "b");
  makeLink("target", dir / "to");
  setModTimeNs(dir / "from", 1234, 567);
  setModTime(dir / "target", 42);
  const auto before = snapshotTree(dir / "from");
  ko::cloneModDate(dir / "from", dir / "to");
  EXPECT_EQ(modTimeNs(dir / "to").tv_sec, 1234);
  EXPECT_EQ(modTimeNs(dir / "to").tv_nsec, 567);
  EXPECT_EQ(modTime(dir / "target"), 42);
  EXPECT_EQ(snapshotTree(dir / "from"), before);
}

TEST(FileOperations, CreateDirectoryPathMakesEveryMissingComponent) {
  TempDir dir;
  ko::createDirectoryPath(dir / "a" / "b" / "c");
  EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
  setModTime(dir / "a", 77);
  ko::createDirectoryPath(dir / "a" / "b");  // existing components stay as they are
  EXPECT_EQ(modTime(dir / "a"), 77);
}

TEST(FileOperations, IrregularEntriesAreLoggedLinksAndFilesAreNot) {
  TempDir dir;
  writeFile(dir / "file", "x");
  makeLink("file", dir / "link");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  CapturedLog log;
  EXPECT_TRUE(ko::isRegularFileType(dir / "file"));
  EXPECT_TRUE(ko::isRegularFileType(dir / "link"));
  EXPECT_TRUE(log.lines.empty());
  EXPECT_FALSE(ko::isRegularFileType(dir / "fifo"));
  EXPECT_FALSE(ko::isRegularFileType(dir / "missing"));
  EXPECT_TRUE(log.has("skipping irregular file:" + (dir / "fifo").native()));
  EXPECT_TRUE(log.has("skipping irregular file:" + (dir / "missing").native()));
}

TEST(FileOperations, AliasesAreLinksWhoseFinalTargetExists) {
  TempDir dir;
  const fs::path real = fs::canonical(dir.path());
  writeFile(real / "data" / "file.txt", "x");
  makeLink("data/file.txt", real / "rel");
  makeLink((real / "rel").native(), real / "chain");
  makeLink("data", real / "folder");
  makeLink("nowhere", real / "dangling");
  makeLink("loop", real / "loop");
  EXPECT_EQ(ko::resolvedPath(real / "rel"), real / "data" / "file.txt");
  EXPECT_EQ(ko::resolvedPath(real / "chain"), real / "data" / "file.txt");
  EXPECT_EQ(ko::resolvedPath(real / "folder"), real / "data");
  EXPECT_EQ(ko::resolvedPath(real / "dangling"), real / "dangling");
  EXPECT_EQ(ko::resolvedPath(real / "loop"), real / "loop");
  EXPECT_EQ(ko::resolvedPath(real / "data" / "file.txt"), real / "data" / "file.txt");
  EXPECT_TRUE(ko::pathIsAlias(real / "chain"));
  EXPECT_FALSE(ko::pathIsAlias(real / "dangling"));
  EXPECT_FALSE(ko::pathIsAlias(real / "data"));
  // A path that goes through a linked folder is not itself an alias.
  EXPECT_FALSE(ko::pathIsAlias(real / "folder" / "file.txt"));
}

TEST(FileOperations, CopyKeepsDataModeAndUserAttributesAndNeverOverwrites) {
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
}

TEST(FileOperations, CopyOfALinkIsTheLinkAndIrregularEntriesAreRefused) {
  TempDir dir;
  makeLink("../somewhere/else", dir / "link");
  ASSERT_TRUE(ko::copyPath(dir / "link", dir / "copy").ok());
  EXPECT_TRUE(fs::is_symlink(dir / "copy"));
  EXPECT_EQ(fs::read_symlink(dir / "copy"), "../somewhere/else");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ko::copyPath(dir / "fifo", dir / "fifo2").ok());  // and does not hang
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "fifo2")));
  EXPECT_EQ(ko::copyPath(dir / "missing", dir / "x").error().kind, ErrorKind::NotFound);
}

// A staging file system without extended attributes (ramfs has none): the
// data is still copied, the loss is logged.
TEST(FileOperations, CopyOntoAFileSystemWithoutAttributesKeepsTheDataAndLogs) {
  TempDir dir;
  const fs::path mountPoint = dir / "ramfs";
  fs::create_directories(mountPoint);
  if (mount("none", mountPoint.c_str(), "ramfs", 0, nullptr) != 0)
    GTEST_SKIP() << "cannot mount a ramfs here (" << std::strerror(errno) << ")";
  struct Unmount {
    fs::path p;
    ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  writeFile(dir / "src", "data");
  setAttr(dir / "src", "user.com.apple.FinderInfo", std::string(32, 'x'));
  CapturedLog log;
  ASSERT_TRUE(ko::copyPath(dir / "src", mountPoint / "dst").ok());
  EXPECT_EQ(readFile(mountPoint / "dst"), "data");
  EXPECT_TRUE(log.hasPrefix("cannot keep the extended attributes of " + (dir / "src").native()));
}

// The disc's Rock Ridge dates are whole seconds: a file staged from a source
// with nanoseconds compares equal to the copy read back from a real image.
TEST(FileOperations, WholeSecondComparisonHoldsAgainstRockRidgeDates) {
  TempDir dir;
  writeFile(dir / "tree" / "same.txt", "same");
  writeFile(dir / "tree" / "sub" / "deep.txt", "deep");
  setModTimeNs(dir / "tree" / "same.txt", 1600000000, 999999999);
  setModTimeNs(dir / "tree" / "sub" / "deep.txt", 1600000100, 123456789);
  const auto image = (dir / "image.iso").native();
  auto made = runProgram("genisoimage", {"-quiet", "-R", "-J", "-o", image, (dir / "tree").native()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  fs::create_directories(dir / "disc");
  auto read = runProgram("xorriso", {"-osirrox", "on", "-indev", image, "-extract", "/", (dir / "disc").native()});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(modTimeNs(dir / "disc" / "same.txt").tv_nsec, 0);
  EXPECT_EQ(modTime(dir / "disc" / "same.txt"), 1600000000);
  EXPECT_FALSE(ko::pathModDate(dir / "tree" / "same.txt", dir / "disc" / "same.txt"));
  EXPECT_FALSE(ko::pathModDate(dir / "tree" / "sub" / "deep.txt", dir / "disc" / "sub" / "deep.txt"));
  setModTimeNs(dir / "tree" / "same.txt", 1600000001, 0);
  EXPECT_TRUE(ko::pathModDate(dir / "tree" / "same.txt", dir / "disc" / "same.txt"));
}
