#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>

#include "staging/source_entries.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

BurnItem item(const fs::path& path) {
  BurnItem i;
  i.aPath = path;
  i.aPathComponent = lastPathComponent(path);
  return i;
}

std::vector<std::string> listed(const std::vector<StagedEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.path + ":" + stagedTypeName(e.type));
  std::sort(out.begin(), out.end());
  return out;
}

// What a full copy would stage, without copying: links as staging resolves
// them, side files, the catalogue; devices left out.
TEST(SourceEntries, FollowStagingWithoutCopying) {
  TempDir dir;
  test::writeFile(dir / "Docs/a.txt", "a");
  test::writeFile(dir / "Target/t.txt", "t");
  test::writeFile(dir / "forked", "f");
  const bool xattrs = ::setxattr((dir / "Docs/a.txt").c_str(), "user.com.apple.ResourceFork", "rsrc", 4, 0) == 0;
  test::writeFile(dir / "Docs/short-info", "s");  // Finder information of the wrong length gets no side file
  ::setxattr((dir / "Docs/short-info").c_str(), "user.com.apple.FinderInfo", "TEXT", 4, 0);
  test::writeFile(dir / "Docs/zero-info", "z");  // Finder information of nothing but zeros neither
  ::setxattr((dir / "Docs/zero-info").c_str(), "user.com.apple.FinderInfo", std::string(32, '\0').data(), 32, 0);
  fs::create_directory_symlink(dir / "Target", dir / "Docs/to-target");
  fs::create_directory_symlink(dir / "Docs", dir / "Docs/loop");  // leads back above itself
  fs::create_symlink(dir / "nowhere", dir / "Docs/dangling");
  ::mkfifo((dir / "Docs/fifo").c_str(), 0600);
  fs::create_directory_symlink(dir / "Target", dir / "linked-source");
  fs::create_symlink(dir / "Target/t.txt", dir / "linked-file");
  const std::vector<BurnItem> items = {item(dir / "Docs"), item(dir / "linked-source"), item(dir / "linked-file"),
                                       item(dir / "missing")};

  SourceEntryOptions resolving;
  resolving.storeConfiguration = true;
  std::vector<std::string> expected = {".tessaline:file",      "Docs/a.txt:file",       "Docs/dangling:link",
                                       "Docs/loop:link",       "Docs/to-target:folder", "Docs/to-target/t.txt:file",
                                       "Docs:folder",          "Docs/short-info:file",  "Docs/zero-info:file",
                                       "linked-source:folder", "linked-file:file",      "linked-source/t.txt:file"};
  if (xattrs) expected.push_back("Docs/._a.txt:file");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed(sourceEntriesOf(items, resolving)), expected);

  SourceEntryOptions plain;
  plain.resolveAliases = false;
  plain.splitForks = false;
  EXPECT_EQ(listed(sourceEntriesOf(items, plain)),
            (std::vector<std::string>{"Docs/a.txt:file", "Docs/dangling:link", "Docs/loop:link", "Docs/short-info:file",
                                      "Docs/to-target:link", "Docs/zero-info:file", "Docs:folder", "linked-file:link",
                                      "linked-source/t.txt:file", "linked-source:folder"}));
}

}  // namespace
}  // namespace tessaline
