#include "staging/size_estimation.h"

#include "staging_test_util.h"

#include <gtest/gtest.h>

using namespace tessaline;
using namespace tessaline::test;

// Sizes in decimal megabytes: a folder by its files and subfolders, an alias
// by its target only while resolving, an empty or missing item as 1e-7.
TEST(SizeEstimation, FullSizesCountFilesAndAliasesByTheResolvingSwitch) {
  TempDir dir;
  writeFile(dir / "two" / "a", std::string(500000, 'a'));
  writeFile(dir / "two" / "sub" / "b", std::string(1000000, 'b'));
  struct stat sub {};
  ASSERT_EQ(lstat((dir / "two" / "sub").c_str(), &sub), 0);
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "two", true), 1.5 + static_cast<double>(sub.st_size) / 1e6);
  const std::string target = (dir / "two" / "a").native();
  makeLink(target, dir / "alias");
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "alias", true), 0.5);
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "alias", false), static_cast<double>(target.size()) / 1e6);
  makeLink(target, dir / "two" / "alias");  // inside a folder, by the same switch
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "two", true), 2.0 + static_cast<double>(sub.st_size) / 1e6);
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "two", false), 1.5 + static_cast<double>(sub.st_size + target.size()) / 1e6);
  writeFile(dir / "empty-file", "");
  fs::create_directories(dir / "empty-folder");
  for (const char* name : {"empty-file", "empty-folder", "missing"})
    EXPECT_EQ(sizeInMBWithPath(dir / name, true), 0.0000001) << name;
}

// An update counts only what is new or newer than the disc's copy, found
// under the item's own name on the disc; aliases always count while
// resolving and otherwise only when changed.
TEST(SizeEstimation, IncrementalCountsOnlyWhatTheNextSessionWrites) {
  TempDir dir;
  const fs::path src = dir / "src", disc = dir / "disc";
  writeFile(dir / "target", std::string(5000, 't'));
  writeFile(src / "real" / "a", std::string(3000, 'a'));
  writeFile(src / "real" / "sub" / "b", std::string(4000, 'b'));
  writeFile(src / "real" / "empty", "");
  makeLink((dir / "target").native(), src / "real" / "alias");
  makeLink((src / "real").native(), src / "Docs");  // the item; the disc knows it as "Docs"
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, false),
                   0.003 + 0.004 + 0.0000001 + static_cast<double>((dir / "target").native().size()) / 1e6);
  for (const auto& rel : {"a", "sub/b", "empty"}) writeFile(disc / "Docs" / rel, readFile(src / "real" / rel));
  makeLink((dir / "target").native(), disc / "Docs" / "alias");
  for (const auto& rel : {"a", "sub/b", "empty", "sub", "alias", ""}) {
    setModTimeNs(src / "real" / rel, 500, 700000000);
    setModTime(disc / "Docs" / rel, 500);
  }
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, false), 0.0);
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, true), 0.005);
  // Links to a folder, or to nothing, add nothing.
  writeFile(dir / "folder" / "c", std::string(9000, 'c'));
  makeLink((dir / "folder").native(), src / "real" / "to-folder");
  makeLink((dir / "nowhere").native(), src / "real" / "dangling");
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, true), 0.005);
  setModTime(disc / "Docs" / "sub" / "b", 499);
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, false), 0.004);
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "gone", disc, true), 0.0);
  // A single file counts while the disc has no copy or an older one.
  writeFile(src / "notes.txt", std::string(2000, 'n'));
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "notes.txt", disc, true), 0.002);
  writeFile(disc / "notes.txt", std::string(2000, 'n'));
  setModTime(src / "notes.txt", 600);
  setModTime(disc / "notes.txt", 500);
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "notes.txt", disc, true), 0.002);
  setModTime(disc / "notes.txt", 600);
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "notes.txt", disc, true), 0.0);
}
