#include "staging/tree_update.h"

#include "staging/file_operations.h"
#include "staging/tree_walk.h"
#include "staging_test_util.h"

#include <gtest/gtest.h>

using namespace tessaline;
using namespace tessaline::test;

namespace {

// A source tree, a "disc" holding an earlier copy, and a staging folder.
struct Scene {
  TempDir dir;
  fs::path src = dir / "src";
  fs::path disc = dir / "disc";
  fs::path stage = dir / "stage";
  StagingJournal journal{dir / "stage"};
  Scene() {
    fs::create_directories(src);
    fs::create_directories(disc);
    fs::create_directories(stage);
  }
  void update(const fs::path& source, bool incremental, bool aliasFlag = true) {
    const auto before = snapshotTree(src);
    updateSourcePath(source, stage / source.filename(), incremental,
                     incremental ? std::optional<fs::path>(disc / source.filename()) : std::nullopt, aliasFlag,
                     &journal);
    EXPECT_EQ(snapshotTree(src), before) << "the source changed";
    EXPECT_EQ(listTree(stage), listJournal(journal)) << "journal and staged tree differ";
  }
  // Stages `source` again from nothing.
  void restage(const fs::path& source, bool incremental, bool aliasFlag) {
    fs::remove_all(stage / source.filename());
    journal.remove(stage / source.filename());
    update(source, incremental, aliasFlag);
  }
  // Gives the same date to entries in the source and on the disc.
  void sameDate(std::initializer_list<const char*> rels, long long date) {
    for (const char* rel : rels) {
      setModTime(src / rel, date);
      setModTime(disc / rel, date);
    }
  }
};

}  // namespace

TEST(TreeUpdate, IncrementalWorkedExample) {
  Scene s;
  writeFile(s.src / "Docs" / "a.txt", "a");
  writeFile(s.src / "Docs" / "b.txt", "b, changed");
  writeFile(s.src / "Docs" / "sub" / "c.txt", "c");
  writeFile(s.disc / "Docs" / "a.txt", "a");
  writeFile(s.disc / "Docs" / "b.txt", "b");
  setModTimeNs(s.src / "Docs" / "a.txt", 1000, 400000000);
  setModTime(s.disc / "Docs" / "a.txt", 1000);
  setModTimeNs(s.src / "Docs" / "b.txt", 2001, 5);
  setModTime(s.disc / "Docs" / "b.txt", 2000);
  setModTime(s.src / "Docs" / "sub" / "c.txt", 3000);
  setModTime(s.src / "Docs" / "sub", 3100);
  setModTime(s.src / "Docs", 3200);
  setModTime(s.disc / "Docs", 1500);

  CapturedLog log;
  s.update(s.src / "Docs", true);
  EXPECT_TRUE(log.has("updating files from:" + (s.src / "Docs").native() + " to: " + (s.stage / "Docs").native() +
                      ", comparepath " + (s.disc / "Docs").native()));
  const std::map<std::string, char> expected{
      {"Docs", 'd'}, {"Docs/b.txt", 'f'}, {"Docs/sub", 'd'}, {"Docs/sub/c.txt", 'f'}};
  EXPECT_EQ(listTree(s.stage), expected);
  EXPECT_EQ(readFile(s.stage / "Docs" / "b.txt"), "b, changed");
  EXPECT_EQ(modTimeNs(s.stage / "Docs" / "b.txt").tv_sec, 2001);
  EXPECT_EQ(modTime(s.stage / "Docs" / "sub" / "c.txt"), 3000);
  EXPECT_EQ(modTime(s.stage / "Docs" / "sub"), 3100);
  EXPECT_EQ(modTime(s.stage / "Docs"), 3200);
  EXPECT_EQ(s.journal.find("Docs/b.txt")->reason, StagingReason::Newer);
  EXPECT_EQ(s.journal.find("Docs/sub")->reason, StagingReason::New);
  EXPECT_EQ(s.journal.find("Docs/sub/c.txt")->reason, StagingReason::New);
  EXPECT_EQ(s.journal.find("Docs/b.txt")->bytes, 10u);
}

// Unchanged entries stage nothing (newer only by a fraction of a second is
// unchanged: the disc keeps whole seconds); the folders above a deep change
// are made (also above a new empty folder), and only the changed file's own
// folder and the top folder carry their source dates.
TEST(TreeUpdate, UnchangedStagesNothingAndADeepChangeOnlyItsPath) {
  Scene s;
  writeFile(s.src / "single.txt", "s");
  writeFile(s.disc / "single.txt", "s");
  writeFile(s.src / "Top" / "same.txt", "a");
  writeFile(s.disc / "Top" / "same.txt", "a");
  writeFile(s.src / "Top" / "x" / "y" / "changed.txt", "new");
  writeFile(s.disc / "Top" / "x" / "y" / "changed.txt", "old");
  fs::create_directories(s.src / "Top" / "w" / "fresh");
  fs::create_directories(s.disc / "Top" / "w");
  s.sameDate({"single.txt", "Top/same.txt", "Top", "Top/x", "Top/x/y", "Top/w"}, 100);
  setModTimeNs(s.src / "single.txt", 100, 999999999);
  setModTimeNs(s.src / "Top" / "same.txt", 100, 1);
  setModTime(s.src / "Top" / "x" / "y" / "changed.txt", 9000);
  setModTime(s.disc / "Top" / "x" / "y" / "changed.txt", 8000);
  s.update(s.src / "single.txt", true);
  s.update(s.src / "Top", true);
  EXPECT_EQ(listTree(s.stage), (std::map<std::string, char>{{"Top", 'd'}, {"Top/w", 'd'}, {"Top/w/fresh", 'd'},
                                                              {"Top/x", 'd'}, {"Top/x/y", 'd'},
                                                              {"Top/x/y/changed.txt", 'f'}}));
  EXPECT_EQ(modTime(s.stage / "Top" / "x" / "y"), 100);
  EXPECT_EQ(modTime(s.stage / "Top"), 100);
  EXPECT_NE(modTime(s.stage / "Top" / "x"), 100);
  EXPECT_EQ(s.journal.find("Top")->reason, StagingReason::Container);
  EXPECT_EQ(s.journal.find("Top/x")->reason, StagingReason::Container);
  EXPECT_EQ(s.journal.find("Top/x/y/changed.txt")->reason, StagingReason::Newer);
  EXPECT_EQ(s.journal.find("Top/w/fresh")->reason, StagingReason::New);
}

// A full copy stages everything with its dates (empty folders and hidden
// files too), links as links pointing where alias resolution will look, and
// skips pipes; a source item that is a link to a folder is followed.
TEST(TreeUpdate, FullCopyKeepsDatesAndLinksAndSkipsIrregularEntries) {
  Scene s;
  const fs::path real = fs::canonical(s.src), docs = real / "Docs";
  writeFile(docs / "a.txt", "a");
  writeFile(docs / ".hidden", "h");
  writeFile(docs / "folder" / "inner.txt", "i");
  fs::create_directories(docs / "empty");
  makeLink("a.txt", docs / "to-file");
  makeLink("folder", docs / "to-folder");
  makeLink("nowhere", docs / "dangling");
  ASSERT_EQ(mkfifo((docs / "pipe").c_str(), 0600), 0);
  makeLink("Docs/folder", real / "FolderLink");
  setModTimeNs(docs / "a.txt", 11, 11);
  setModTime(docs / "to-file", 4444);
  setModTime(docs / "empty", 22);
  setModTime(docs, 33);
  writeFile(s.disc / "Docs" / "a.txt", "a");  // ignored in a full copy
  {
    CapturedLog log;
    s.update(docs, false, true);
    s.update(real / "FolderLink", false, true);
    EXPECT_TRUE(log.has("skipping irregular file:" + (docs / "pipe").native()));
  }
  EXPECT_EQ(listTree(s.stage), (std::map<std::string, char>{{"Docs", 'd'},
                                                            {"Docs/.hidden", 'f'},
                                                            {"Docs/a.txt", 'f'},
                                                            {"Docs/dangling", 'l'},
                                                            {"Docs/empty", 'd'},
                                                            {"Docs/folder", 'd'},
                                                            {"Docs/folder/inner.txt", 'f'},
                                                            {"Docs/to-file", 'l'},
                                                            {"Docs/to-folder", 'l'},
                                                            {"FolderLink", 'd'},
                                                            {"FolderLink/inner.txt", 'f'}}));
  EXPECT_EQ(modTimeNs(s.stage / "Docs" / "a.txt").tv_nsec, 11);
  EXPECT_EQ(modTime(s.stage / "Docs" / "empty"), 22);
  EXPECT_EQ(modTime(s.stage / "Docs"), 33);
  EXPECT_EQ(modTime(s.stage / "Docs" / "to-file"), 4444);
  EXPECT_EQ(fs::read_symlink(s.stage / "Docs" / "to-file"), docs / "a.txt");
  EXPECT_EQ(fs::read_symlink(s.stage / "Docs" / "to-folder"), docs / "folder");
  EXPECT_EQ(fs::read_symlink(s.stage / "Docs" / "dangling"), "nowhere");
  for (const auto& e : s.journal.entries()) EXPECT_EQ(e.reason, StagingReason::Full) << e.path;
  // Without resolution the links are kept as they are.
  s.restage(docs, false, false);
  EXPECT_EQ(fs::read_symlink(s.stage / "Docs" / "to-file"), "a.txt");
  // A source that is itself a dangling link is staged as that link.
  s.update(docs / "dangling", false, true);
  EXPECT_EQ(fs::read_symlink(s.stage / "dangling"), "nowhere");
}

TEST(TreeUpdate, IncrementalLinksFollowTheAliasFlag) {
  Scene s;
  const fs::path real = fs::canonical(s.src);
  writeFile(real / "Docs" / "file.txt", "f");
  makeLink("file.txt", real / "Docs" / "alias");
  writeFile(s.disc / "Docs" / "file.txt", "f");
  makeLink("file.txt", s.disc / "Docs" / "alias");  // burned as the link before
  s.sameDate({"Docs/file.txt", "Docs/alias"}, 100);
  s.update(real / "Docs", true, true);
  EXPECT_TRUE(fs::is_symlink(s.stage / "Docs" / "alias"));  // always selected while resolving
  EXPECT_EQ(s.journal.find("Docs/alias")->reason, StagingReason::Alias);
  EXPECT_FALSE(fs::exists(s.stage / "Docs" / "file.txt"));

  s.restage(real / "Docs", true, false);
  EXPECT_FALSE(fs::exists(fs::symlink_status(s.stage / "Docs" / "alias")));  // like any file: unchanged
  setModTime(real / "Docs" / "alias", 101);
  s.restage(real / "Docs", true, false);
  EXPECT_TRUE(fs::is_symlink(s.stage / "Docs" / "alias"));
}

TEST(TreeUpdate, OddNamesAndDeepTreesArriveUnchanged) {
  Scene s;
  const std::vector<std::string> names{"with space", "new\nline", "-leading-dash", std::string(255, 'n'),
                                       "latin1-\xe9t\xe9", "tab\there"};
  for (const auto& n : names) writeFile(s.src / "Odd" / n, n);
  const std::string odd = std::string("dir-\xff\xfe") + "/" + std::string(255, 'm');
  writeFile(s.src / "Odd" / odd, "deep");
  // A deep tree: the walk keeps its own stack.
  std::string deep = "Odd";
  for (int i = 0; i < 300; ++i) deep += "/d";
  writeFile(s.src / deep / "leaf.txt", "leaf");
  s.update(s.src / "Odd", false);
  for (const auto& n : names) EXPECT_EQ(readFile(s.stage / "Odd" / n), n) << n;
  EXPECT_EQ(readFile(s.stage / "Odd" / odd), "deep");
  EXPECT_EQ(readFile(s.stage / deep / "leaf.txt"), "leaf");
  EXPECT_EQ(listTree(s.stage).size(), names.size() + 3 + 301);
}

TEST(TreeUpdate, ExistingDestinationIsNotOverwrittenAndVanishedSourceStagesNothing) {
  Scene s;
  writeFile(s.src / "one.txt", "source");
  writeFile(s.stage / "one.txt", "already staged");
  updateSourcePath(s.src / "one.txt", s.stage / "one.txt", false, std::nullopt, true, nullptr);
  EXPECT_EQ(readFile(s.stage / "one.txt"), "already staged");
  CapturedLog log;
  updateSourcePath(s.src / "gone", s.stage / "gone", false, std::nullopt, true, &s.journal);
  EXPECT_FALSE(fs::exists(s.stage / "gone"));
  EXPECT_TRUE(log.has("updating files from:" + (s.src / "gone").native() + " to: " + (s.stage / "gone").native() +
                      ", comparepath (null)"));
}

// The source vanishes while it is being walked (removed when the walk
// reports the pipe it meets): no crash, and the journal still tells the truth.
TEST(TreeUpdate, SourcesChangingDuringTheWalk) {
  Scene s;
  for (int d = 0; d < 5; ++d)
    for (int f = 0; f < 20; ++f) writeFile(s.src / "Docs" / ("d" + std::to_string(d)) / std::to_string(f), "x");
  ASSERT_EQ(mkfifo((s.src / "Docs" / "d2" / "fifo").c_str(), 0600), 0);
  bool removed = false;
  LogCapture capture([&](const std::string& line) {
    if (!removed && line.rfind("skipping irregular file:", 0) == 0) {
      removed = true;
      fs::remove_all(s.src / "Docs");
    }
  });
  updateSourcePath(s.src / "Docs", s.stage / "Docs", false, std::nullopt, true, &s.journal);
  EXPECT_TRUE(removed);
  EXPECT_EQ(listTree(s.stage), listJournal(s.journal));
  EXPECT_TRUE(fs::is_directory(s.stage / "Docs"));

  // Folders swapped for links to elsewhere once the walk has listed them are
  // not walked into.
  writeFile(s.src / "outside/secret.txt", "s");
  for (int d = 0; d < 10; ++d) fs::create_directories(s.src / "Walked" / std::to_string(d));
  std::vector<std::string> visited;
  staging::walkTree(s.src / "Walked", [&](const staging::WalkEntry& e) {
    if (visited.empty())
      for (int d = 0; d < 10; ++d)
        if (const fs::path folder = s.src / "Walked" / std::to_string(d); folder != e.full) {
          fs::remove(folder);
          fs::create_directory_symlink(s.src / "outside", folder);
        }
    visited.emplace_back(e.relative);
  });
  EXPECT_EQ(visited.size(), 10u) << ::testing::PrintToString(visited);
}
