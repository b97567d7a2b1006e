#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <sstream>

#include "burn/joliet_names.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string rep(std::size_t n, char c) { return std::string(n, c); }
// Joins without operator+ on temporaries (GCC 12 warns falsely about those).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (auto p : parts) out.append(p);
  return out;
}
const std::string kParty = "party \xF0\x9F\x8E\x89.txt";  // an emoji: beyond U+FFFF

// name, folder, encoding, the Joliet name as UTF-8, substituted, cut
using NameCase = std::tuple<std::string, bool, JolietEncoding, std::string, bool, bool>;
std::vector<NameCase> nameCases() {
  const auto U = JolietEncoding::Ucs2;
  const auto W = JolietEncoding::Utf16;
  return {
      {"Caf\xC3\xA9 \xE6\x97\xA5.txt", false, W, "Caf\xC3\xA9 \xE6\x97\xA5.txt", false, false},
      {kParty, false, U, "party _.txt", true, false},
      {kParty, false, W, kParty, false, false},
      {"U+10000 \xF0\x90\x80\x80", false, W, "U+10000 \xF0\x90\x80\x80", false, false},  // the first pair: D800 DC00
      {"raw-\xFF.txt", false, W, "raw-_.txt", true, false},
      {"two\xC3(x", false, W, "two_(x", true, false},        // a broken sequence: one _ per stray byte
      {"over\xC0\xAF", false, W, "over__", true, false},    // an overlong form
      {"sur\xED\xA0\x80", false, W, "sur___", true, false}, // a surrogate written as UTF-8
      {"cut\xE2\x82", false, U, "cut__", true, false},      // cut off at the end
      {"cut\xE2\x82", false, W, "cut", true, false},        // xorrisofs drops the tail
      {"end\xED\xA0", false, W, "end", true, false},        // even a surrogate's start
      {"mid\xE2\x82x", false, W, "mid__x", true, false},     // not at the end: byte by byte
      {"a:b*c?d;e\\f\x01g", false, W, "a_b_c_d_e_f_g", true, false},
      {rep(103, 'a'), false, W, rep(103, 'a'), false, false},
      {rep(104, 'b'), false, W, rep(103, 'b'), false, true},
      {cat({rep(100, 'c'), ".txt"}), false, W, cat({rep(100, 'c'), ".txt"}), false, false},  // 104 with the dot: kept
      {cat({rep(100, 'd'), ".text"}), false, W, cat({rep(100, 'd'), ".tex"}), false, true},
      {cat({rep(90, 'e'), ".", rep(20, 'E')}), false, W, cat({rep(90, 'e'), ".", rep(13, 'E')}), false, true},
      {cat({rep(99, 'j'), ".tar.gz"}), false, W, cat({rep(99, 'j'), ".t.gz"}), false, true},
      {cat({"k.", rep(110, 'K')}), false, W, cat({"k.", rep(102, 'K')}), false, true},
      {cat({rep(104, 'f'), ".dir"}), true, W, rep(103, 'f'), false, true},  // a folder has no extension
      {cat({rep(101, 'g'), "\xF0\x9F\x8E\x89z"}), false, W, cat({rep(101, 'g'), "\xF0\x9F\x8E\x89"}), false, true},
      {cat({rep(101, 'g'), "\xF0\x90\x80\x80z"}), false, W, cat({rep(101, 'g'), "\xF0\x90\x80\x80"}), false, true},
      {cat({rep(101, 'g'), "\xF4\x8F\xBF\xBFz"}), false, W, cat({rep(101, 'g'), "\xF4\x8F\xBF\xBF"}), false, true},  // DBFF DFFF
      // The cut splits a pair.
      {cat({rep(102, 'h'), "\xF0\x9F\x8E\x89z"}), false, W, cat({rep(102, 'h'), "\xEF\xBF\xBD"}), true, true},
      {cat({rep(102, 'h'), "\xF0\x9F\x8E\x89z"}), false, U, cat({rep(102, 'h'), "_"}), true, true},
      {"", false, W, "", false, false},
  };
}

TEST(JolietName, SubstitutesAndCutsAsLibisofsDoes) {
  for (const auto& [name, folder, encoding, joliet, substituted, cut] : nameCases()) {
    const JolietName j = jolietName(name, folder, encoding);
    EXPECT_EQ(std::tuple(jolietUnitsToUtf8(j.units), j.substituted, j.cut), std::tuple(joliet, substituted, cut)) << name;
  }
}

TEST(JolietNameWarnings, NamesEveryChangedEntryAndBothSidesOfACollision) {
  SessionNameTree tree;
  for (const std::string& name : {std::string("ok.txt"), kParty, std::string("raw-\xFF.txt"), std::string("a:b"), std::string("a_b")})
    tree.add(cat({"Docs/", name}), SessionEntryKind::File);
  tree.add("Docs/link:x", SessionEntryKind::Other);  // links are not in Joliet
  tree.add("x*/inner", SessionEntryKind::File);

  // Each warned path, with the entry it collides with: names equal once substituted
  // (or cut: the end-to-end preview) warn on both sides, as both get numbers.
  std::vector<std::string> got;
  for (const auto& w : jolietNameWarnings(tree, JolietEncoding::Ucs2)) got.push_back(cat({w.path, ">", w.collidesWith}));
  EXPECT_EQ(got, (std::vector<std::string>{"Docs/a:b>Docs/a_b", "Docs/a_b>Docs/a:b", cat({"Docs/", kParty, ">"}),
                                           "Docs/raw-\xFF.txt>", "x*>"}));
  EXPECT_EQ(jolietNameWarnings(tree, JolietEncoding::Ucs2)[3].jolietName, "raw-_.txt");
  EXPECT_EQ(jolietNameWarnings(tree, JolietEncoding::Utf16).size(), 4u);  // UTF-16 carries the emoji

  // A new session's entry replaces the disc's; a folder replaced by a file takes its contents with it.
  tree.add("x*", SessionEntryKind::Other);
  tree.add("Docs", SessionEntryKind::File);
  EXPECT_TRUE(jolietNameWarnings(tree, JolietEncoding::Utf16).empty());
}

// The table against libisofs itself: each UTF-16 name is what xorrisofs
// writes, read back by xorriso, for the tree the model reads from disk.
TEST(JolietName, TheTableIsWhatXorrisofsWrites) {
  TempDir dir;
  std::set<std::string> expected = {"'/'"};
  for (const auto& [name, folder, encoding, joliet, substituted, cut] : nameCases()) {
    // A lone surrogate (a split pair) reads back differently in each reader.
    if (encoding != JolietEncoding::Utf16 || name.empty() || joliet.ends_with("\xEF\xBF\xBD")) continue;
    test::writeFile(folder ? dir / "t" / name / "inner" : dir / "t" / name, "x");
    expected.insert(cat({"'/", joliet, "'"}));
    if (folder) expected.insert(cat({"'/", joliet, "/inner'"}));
  }
  SessionNameTree model;
  model.addTreeOnDisk(dir / "t");
  EXPECT_EQ(model.folders().at("").size(), expected.size() - 2);
  const fs::path image = dir / "t.iso";
  const auto built = test::runProgram("xorrisofs", {"-quiet", "-D", "-J", "-joliet-long", "-joliet-utf16", "-r", "-o",
                                                    image.string(), (dir / "t").string()});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  const auto read = test::runProgram("xorriso", {"-read_fs", "norock", "-indev", image.string(), "-find", "/"});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  std::set<std::string> seen;
  std::istringstream lines(read.out);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("'/")) seen.insert(line);
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace tessaline
