#include "staging/fork_splitting.h"

#include "staging/tree_update.h"
#include "staging_test_util.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <array>
#include <csignal>

using namespace tessaline;
using namespace tessaline::test;

namespace {

std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

std::string textFinderInfo() {
  std::string info(32, '\0');
  info.replace(0, 4, "TEXT");
  return info;
}

std::array<std::byte, 32> asInfo(const std::string& s) {
  std::array<std::byte, 32> out{};
  for (std::size_t i = 0; i < 32 && i < s.size(); ++i) out[i] = static_cast<std::byte>(s[i]);
  return out;
}

}  // namespace

TEST(ForkSplitting, AppleDoubleLayoutByteForByte) {
  // A file of type TEXT without a fork.
  // Magic, version, filler, 2 entries: Finder information (9) at 50, 32 bytes;
  // resource fork (2) at 82, empty; then the information record.
  const std::string expected = "00051607" "00020000" "00000000000000000000000000000000" "0002"
                               "00000009" "00000032" "00000020" "00000002" "00000052" "00000000"
                               "54455854" + std::string(56, '0');
  const auto info = asInfo(textFinderInfo());
  EXPECT_EQ(hex(appleDoubleBytes(info, {})), expected);
  EXPECT_EQ(appleDoubleBytes(info, {}).size(), 82u);

  const std::string fork(1000, '\x5a');
  const std::string withFork = appleDoubleBytes(asInfo(std::string(32, '\0')), fork);
  ASSERT_EQ(withFork.size(), 1082u);
  EXPECT_EQ(hex(withFork.substr(46, 4)), "000003e8");
  EXPECT_EQ(withFork.substr(82), fork);
}

TEST(ForkSplitting, SideFilesForForksAndFinderInfoOnly) {
  TempDir dir;
  const fs::path root = dir / "stage";
  writeFile(root / "fork.bin", "data");
  setAttr(root / "fork.bin", kResourceForkAttribute, std::string(1000, 'r'));
  writeFile(root / "typed.txt", "text");
  setAttr(root / "typed.txt", kFinderInfoAttribute, textFinderInfo());
  writeFile(root / "empty-fork", "x");
  setAttr(root / "empty-fork", kResourceForkAttribute, "");
  writeFile(root / "plain", "x");
  writeFile(root / "short-info", "x");
  setAttr(root / "short-info", kFinderInfoAttribute, "TEXT");  // not a Finder information record
  fs::create_directories(root / "folder");
  setAttr(root / "folder", kFinderInfoAttribute, textFinderInfo());
  makeLink("fork.bin", root / "link");
  const auto forkBefore = snapshotTree(root / "fork.bin");

  CapturedLog log;
  StagingJournal journal(root);
  splitForksAtPath(root, &journal);
  EXPECT_TRUE(log.has("creating resourceforkfiles..."));
  EXPECT_EQ(fs::file_size(root / "._fork.bin"), 1082u);
  EXPECT_EQ(readFile(root / "._fork.bin"), appleDoubleBytes(asInfo(std::string(32, '\0')), std::string(1000, 'r')));
  EXPECT_EQ(readFile(root / "._typed.txt"), appleDoubleBytes(asInfo(textFinderInfo()), {}));
  EXPECT_FALSE(fs::exists(root / "._empty-fork"));
  EXPECT_FALSE(fs::exists(root / "._plain"));
  EXPECT_FALSE(fs::exists(root / "._short-info"));
  EXPECT_TRUE(log.hasPrefix("ignoring Finder information of " + (root / "short-info").native()));
  EXPECT_FALSE(fs::exists(root / "._folder"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "._link")));
  EXPECT_FALSE(fs::exists(root / "._._fork.bin"));
  EXPECT_EQ(snapshotTree(root / "fork.bin"), forkBefore);  // the staged file keeps its fork
  EXPECT_EQ(journal.find("._fork.bin")->reason, StagingReason::SideFile);
  EXPECT_EQ(journal.find("._fork.bin")->bytes, 1082u);
}

// A side file replaces whatever the source had under its name (never
// writing through a link, and an empty folder too) and takes the file's owner, group and mode
// without the set-id and sticky bits.
TEST(ForkSplitting, SideFileReplacesItsNameAndTakesOwnerAndMaskedMode) {
  TempDir dir;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    writeFile(dir / name, "x");
    setAttr(dir / name, kFinderInfoAttribute, textFinderInfo());
  }
  writeFile(dir / "._a.txt", "copied from the source");
  makeLink("victim", dir / "._b.txt");
  fs::create_directory(dir / "._c.txt");
  ASSERT_EQ(chown((dir / "a.txt").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod((dir / "a.txt").c_str(), 06751 | S_ISVTX), 0);
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) EXPECT_TRUE(SplitFileIfNeeded(dir / name, 253).ok()) << name;
  EXPECT_EQ(fs::file_size(dir / "._a.txt"), 82u);
  EXPECT_FALSE(fs::is_symlink(dir / "._b.txt"));
  EXPECT_FALSE(fs::exists(dir / "victim"));
  EXPECT_TRUE(fs::is_regular_file(dir / "._c.txt"));
  struct stat st {};
  ASSERT_EQ(lstat((dir / "._a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
}

TEST(ForkSplitting, NameLimitCountsBytes) {
  TempDir dir;
  const long limit = pathconf(dir.path().c_str(), _PC_NAME_MAX);
  ASSERT_EQ(limit, 255);
  RkSF splitter;
  for (std::size_t length : {253u, 254u, 255u}) {
    const fs::path f = dir / std::string(length, 'n');
    writeFile(f, "x");
    setAttr(f, kFinderInfoAttribute, textFinderInfo());
  }
  // 127 two-byte characters: 254 bytes, too long although only 127 characters.
  std::string wideName;
  for (int i = 0; i < 127; ++i) wideName += "\xc3\xa9";
  const fs::path wide = dir / wideName;
  writeFile(wide, "x");
  setAttr(wide, kFinderInfoAttribute, textFinderInfo());
  CapturedLog log;
  splitter.splitPath(dir.path());
  EXPECT_EQ(splitter.gMaxFileNameLength, 253);
  EXPECT_TRUE(log.has("the disc lacks the resource fork or Finder information of " + wide.native() +
                      ": name too long for a side file: " + wide.native()));
  EXPECT_TRUE(fs::exists(dir / ("._" + std::string(253, 'n'))));
  EXPECT_EQ(listTree(dir.path()).size(), 5u);  // 4 files and the 253-byte one's side file
  struct stat st {};
  EXPECT_NE(lstat((wide.parent_path() / ("._" + wide.filename().native())).c_str(), &st), 0);
}

// A side file that cannot be written whole (here the file size limit stops
// it part-way, as a full disk would) is removed: half a fork is worse than none.
// The burn is refused for the fork, not for a name that fits (253 bytes).
TEST(ForkSplitting, ASideFileCutShortIsRemoved) {
  TempDir dir;
  const std::string name(253, 'f');
  writeFile(dir / name, "x");
  setAttr(dir / name, kResourceForkAttribute, std::string(4000, 'r'));
  const ChildOutcome outcome = runInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    StagingJournal journal(dir.path());
    splitForksAtPath(dir.path(), &journal);
    const auto& refused = journal.unreadable();
    return refused.size() == 1 && refused[0].first == name &&
                   refused[0].second.starts_with("its resource fork or Finder information cannot go on the disc: ")
               ? 0
               : 1;
  });
  EXPECT_EQ(outcome.code, 0);
  EXPECT_FALSE(fs::exists(dir / ("._" + name)));
  EXPECT_EQ(readFile(dir / name), "x");
}

TEST(ForkSplitting, ForkAtTheFileSystemAttributeLimitSurvivesStagingAndSplitting) {
  TempDir dir;
  writeFile(dir / "src" / "big", "data");
  const fs::path f = dir / "src" / "big";
  // The largest value this file system takes for one attribute.
  std::size_t low = 1, high = 1 << 17;
  while (low < high) {
    const std::size_t mid = (low + high + 1) / 2;
    const std::string v(mid, 'f');
    if (lsetxattr(f.c_str(), kResourceForkAttribute, v.data(), v.size(), 0) == 0) low = mid;
    else high = mid - 1;
  }
  std::string fork(low, '\0');
  for (std::size_t i = 0; i < fork.size(); ++i) fork[i] = static_cast<char>(i % 253);
  setAttr(f, kResourceForkAttribute, fork);
  fs::create_directories(dir / "stage");
  const auto sources = snapshotTree(dir / "src");
  updateSourcePath(dir / "src", dir / "stage" / "src", false, std::nullopt, true, nullptr);
  EXPECT_EQ(getAttr(dir / "stage" / "src" / "big", kResourceForkAttribute), fork);
  splitForksAtPath(dir / "stage");
  const std::string side = readFile(dir / "stage" / "src" / "._big");
  EXPECT_EQ(side.size(), 82 + low);
  EXPECT_EQ(side.substr(82), fork);
  EXPECT_EQ(snapshotTree(dir / "src"), sources);
}
