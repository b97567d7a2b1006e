#include "staging/size_estimation.h"

#include "staging_test_util.h"

#include <gtest/gtest.h>

using namespace tessaline;
using namespace tessaline::test;

TEST(SizeEstimation, FullSizesInDecimalMegabytes) {
  TempDir dir;
  writeFile(dir / "big", std::string(1500000, 'x'));
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "big", true), 1.5);
  writeFile(dir / "two" / "a", std::string(500000, 'a'));
  writeFile(dir / "two" / "b", std::string(500000, 'b'));
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "two", true), 1.0);
  // Subfolders count by their own size, the folder itself does not.
  writeFile(dir / "nested" / "sub" / "c", std::string(1000, 'c'));
  struct stat sub {};
  ASSERT_EQ(lstat((dir / "nested" / "sub").c_str(), &sub), 0);
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "nested", true), (1000.0 + static_cast<double>(sub.st_size)) / 1e6);
  writeFile(dir / "empty-file", "");
  fs::create_directories(dir / "empty-folder");
  for (const char* name : {"empty-file", "empty-folder", "missing"})
    EXPECT_EQ(sizeInMBWithPath(dir / name, true), 0.0000001) << name;
}

TEST(SizeEstimation, AliasesMeasuredByTargetOnlyWhileResolving) {
  TempDir dir;
  writeFile(dir / "target", std::string(2000000, 't'));
  const std::string targetPath = (dir / "target").native();
  makeLink(targetPath, dir / "alias");
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "alias", true), 2.0);
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "alias", false), static_cast<double>(targetPath.size()) / 1e6);
  fs::create_directories(dir / "folder");
  makeLink(targetPath, dir / "folder" / "inner-alias");
  EXPECT_DOUBLE_EQ(sizeInMBWithPath(dir / "folder", true), 2.0);
}

TEST(SizeEstimation, IncrementalCountsOnlyNewAndNewerFiles) {
  TempDir dir;
  const fs::path src = dir / "src", disc = dir / "disc";
  writeFile(src / "same.txt", std::string(1000, 's'));
  writeFile(disc / "same.txt", std::string(1000, 's'));
  setModTimeNs(src / "same.txt", 100, 700000000);
  setModTime(disc / "same.txt", 100);
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "same.txt", disc, true), 0.0);
  setModTime(disc / "same.txt", 99);
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "same.txt", disc, true), 0.001);
  fs::remove(disc / "same.txt");
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "same.txt", disc, true), 0.001);
  // A source that no longer exists writes nothing.
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "gone", disc, true), 0.0);

  // A folder with no copy on the disc: its files only, each empty one 1e-7.
  writeFile(src / "Docs" / "a", std::string(3000, 'a'));
  writeFile(src / "Docs" / "sub" / "b", std::string(4000, 'b'));
  writeFile(src / "Docs" / "empty", "");
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, true), 0.003 + 0.004 + 0.0000001);
  // Unchanged on the disc: nothing.
  writeFile(disc / "Docs" / "a", std::string(3000, 'a'));
  writeFile(disc / "Docs" / "sub" / "b", std::string(4000, 'b'));
  writeFile(disc / "Docs" / "empty", "");
  for (const auto& rel : {"a", "sub/b", "empty", "sub", ""}) {
    setModTime(src / "Docs" / rel, 500);
    setModTime(disc / "Docs" / rel, 500);
  }
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, true), 0.0);
}

TEST(SizeEstimation, IncrementalAliasesFollowTheResolvingSwitch) {
  TempDir dir;
  const fs::path src = dir / "src", disc = dir / "disc";
  writeFile(dir / "target", std::string(5000, 't'));
  writeFile(src / "Docs" / "x", "x");
  makeLink((dir / "target").native(), src / "Docs" / "alias");
  writeFile(disc / "Docs" / "x", "x");
  makeLink((dir / "target").native(), disc / "Docs" / "alias");  // burned as a link before
  for (const auto& rel : {"x", "alias", ""}) {
    setModTime(src / "Docs" / rel, 500);
    setModTime(disc / "Docs" / rel, 500);
  }
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, true), 0.005);  // every alias counts
  EXPECT_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, false), 0.0);          // only if changed
  setModTime(src / "Docs" / "alias", 501);
  EXPECT_DOUBLE_EQ(incrementalSizeInMBWithPath(src / "Docs", disc, false),
                   static_cast<double>((dir / "target").native().size()) / 1e6);
}

TEST(SizeEstimation, IncrementalUsesTheItemsOwnNameOnTheDisc) {
  TempDir dir;
  writeFile(dir / "real" / "f", std::string(1000, 'f'));
  makeLink((dir / "real").native(), dir / "Item");
  writeFile(dir / "disc" / "Item" / "f", std::string(1000, 'f'));
  setModTime(dir / "real" / "f", 10);
  setModTime(dir / "disc" / "Item" / "f", 10);
  // The disc holds the item under "Item", not under its target's name.
  EXPECT_EQ(incrementalSizeInMBWithPath(dir / "Item", dir / "disc", true), 0.0);
}
