#include "staging/alias_resolution.h"

#include "staging/tree_update.h"
#include "staging_test_util.h"

#include <gtest/gtest.h>

using namespace tessaline;
using namespace tessaline::test;

namespace {

struct AliasScene {
  TempDir dir;
  fs::path src = fs::canonical(dir.path()) / "src", disc = src.parent_path() / "disc", stage = src.parent_path() / "stage";
  StagingJournal journal{stage};
  bool incremental = false;
  AliasScene() {
    fs::create_directories(src);
    fs::create_directories(disc);
    fs::create_directories(stage);
  }
  void stageAndResolve(const std::string& item) {
    const auto before = snapshotTree(src);
    updateSourcePath(src / item, stage / item, incremental,
                     incremental ? std::optional<fs::path>(disc / item) : std::nullopt, true, &journal);
    resolveAliases(stage, incremental ? std::optional<fs::path>(disc) : std::nullopt,
                   [this] { return incremental; }, &journal);
    EXPECT_EQ(snapshotTree(src), before) << "the source changed";
    EXPECT_EQ(listTree(stage), listJournal(journal)) << "journal and staged tree differ";
  }
};

}  // namespace

TEST(AliasResolution, FileFolderAndChainAreReplacedDanglingStays) {
  AliasScene s;
  writeFile(s.src / "Docs" / "plain.txt", "plain");
  writeFile(s.src / "elsewhere" / "target.txt", "target");
  writeFile(s.src / "elsewhere" / "folder" / "in.txt", "in");
  makeLink("in.txt", s.src / "elsewhere" / "folder" / "back");
  setModTime(s.src / "elsewhere" / "target.txt", 777);
  makeLink("../elsewhere/target.txt", s.src / "Docs" / "file-alias");
  makeLink("../elsewhere/folder", s.src / "Docs" / "folder-alias");
  makeLink("file-alias", s.src / "Docs" / "chain");
  makeLink("../nowhere", s.src / "Docs" / "dangling");

  CapturedLog log;
  s.stageAndResolve("Docs");
  EXPECT_TRUE(log.has("resolving aliases..."));
  EXPECT_FALSE(log.hasPrefix("alias resolution stopped")) << "done in a pass or two, not cut off";
  const fs::path d = s.stage / "Docs";
  EXPECT_FALSE(fs::is_symlink(d / "file-alias"));
  EXPECT_EQ(readFile(d / "file-alias"), "target");
  EXPECT_EQ(modTime(d / "file-alias"), 777);  // the target's date
  EXPECT_EQ(readFile(d / "chain"), "target");
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(d / "folder-alias")));
  EXPECT_EQ(readFile(d / "folder-alias" / "in.txt"), "in");
  // The alias inside the copied folder went in the next pass.
  EXPECT_FALSE(fs::is_symlink(d / "folder-alias" / "back"));
  EXPECT_EQ(readFile(d / "folder-alias" / "back"), "in");
  EXPECT_TRUE(fs::is_symlink(d / "dangling"));
  EXPECT_EQ(fs::read_symlink(d / "dangling"), "../nowhere");
  EXPECT_EQ(s.journal.find("Docs/file-alias")->reason, StagingReason::Alias);
  EXPECT_EQ(s.journal.find("Docs/folder-alias/in.txt")->reason, StagingReason::Alias);
  EXPECT_EQ(s.journal.find("Docs/plain.txt")->reason, StagingReason::Full);
}

TEST(AliasResolution, CyclesEnd) {
  AliasScene s;
  writeFile(s.src / "Loop" / "a.txt", "a");
  makeLink("..", s.src / "Loop" / "up");   // its own parent
  makeLink(".", s.src / "Loop" / "self");  // its own folder
  makeLink(s.dir.path().native(), s.src / "Loop" / "home");  // the folder that holds the staging folder
  writeFile(s.src / "A" / "fa.txt", "fa");
  writeFile(s.src / "B" / "fb.txt", "fb");
  makeLink("../B", s.src / "A" / "toB");  // two links to each other
  makeLink("../A", s.src / "B" / "toA");
  makeLink("../B/toA", s.src / "A" / "chainToA");  // a chain into the cycle
  CapturedLog log;
  s.stageAndResolve("Loop");
  s.stageAndResolve("A");
  EXPECT_TRUE(log.hasPrefix("not resolving alias "));
  // Every link left is one that would contain itself; everything else resolved.
  std::size_t links = 0;
  for (const auto& [rel, kind] : listTree(s.stage)) {
    if (kind != 'l') continue;
    ++links;
    EXPECT_TRUE(log.hasPrefix("not resolving alias " + (s.stage / rel).native())) << rel;
  }
  EXPECT_GT(links, 0u);
  EXPECT_TRUE(fs::is_symlink(s.stage / "Loop" / "home"));
  EXPECT_EQ(readFile(s.stage / "A" / "toB" / "fb.txt"), "fb");
  EXPECT_EQ(readFile(s.stage / "A" / "toB" / "toA" / "fa.txt"), "fa");
  EXPECT_LT(listTree(s.stage).size(), 2000u);
}

TEST(AliasResolution, IncrementalAliasReplacedOnlyByWhatIsNewerThanTheDisc) {
  AliasScene s;
  s.incremental = true;
  writeFile(s.src / "lib" / "old.txt", "old");
  writeFile(s.src / "lib" / "new.txt", "new");
  writeFile(s.src / "note.txt", "note");
  fs::create_directories(s.src / "Docs");
  makeLink("../lib", s.src / "Docs" / "lib-alias");
  makeLink("../note.txt", s.src / "Docs" / "note-alias");
  // The disc holds the resolved content from last time.
  writeFile(s.disc / "Docs" / "lib-alias" / "old.txt", "old");
  writeFile(s.disc / "Docs" / "note-alias", "note");
  for (const auto& [path, date] : std::vector<std::pair<fs::path, long long>>{
           {s.src / "lib" / "old.txt", 100}, {s.disc / "Docs" / "lib-alias" / "old.txt", 100},
           {s.src / "lib" / "new.txt", 200}, {s.src / "note.txt", 300}, {s.disc / "Docs" / "note-alias", 300},
           {s.src / "lib", 400}, {s.disc / "Docs" / "lib-alias", 100}, {s.src / "Docs", 50}, {s.disc / "Docs", 50}})
    setModTime(path, date);
  s.stageAndResolve("Docs");
  EXPECT_EQ(listTree(s.stage), (std::map<std::string, char>{
                                   {"Docs", 'd'}, {"Docs/lib-alias", 'd'}, {"Docs/lib-alias/new.txt", 'f'}}));
}
