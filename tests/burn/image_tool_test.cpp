#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <set>
#include <sstream>

#include "burn/image_build.h"
#include "burn/image_tool.h"
#include "common/log.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using test::TempDir;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;

void makeExecutable(const fs::path& path, const std::string& script) {
  test::writeFile(path, script);
  ::chmod(path.c_str(), 0755);
}

// The image tool's command lines: other programs and stored habits rely on them.
TEST(ImageToolArguments, TheCommandLineOfEachKindOfSession) {
  // session, hide the previous sessions, UTF-16 Joliet, hidden names, volume name: the arguments joined by "|"
  const std::vector<std::tuple<std::string, bool, bool, Args, std::string, std::string>> cases = {
      {"0", false, false, {}, "my CDROM", "-quiet|-D|-J|-joliet-long|-V|my CDROM|-r|-o|/p/42.iso|/p/42"},
      {"0", true, false, {}, "", "-quiet|-D|-J|-joliet-long|-V||-r|-o|/p/42.iso|/p/42"},  // nothing to hide
      {"0", false, false, {"caf\xE9", "x\\*y"}, "Caf\xC3\xA9",
       "-quiet|-D|-J|-joliet-long|-V|Caf\xC3\xA9|-r|-o|/p/42.iso|-hide-joliet|caf\xE9|-hide-joliet|x\\*y|/p/42"},
      {"12345,23456", false, false, {}, "V", "-quiet|-D|-r|-J|-joliet-long|-V|V|-o|/p/42.iso|-M|/dev/sr0|-C|12345,23456|/p/42"},
      {"12345,23456", true, false, {}, "V", "-quiet|-D|-r|-J|-joliet-long|-V|V|-o|/p/42.iso|-C|12345,23456|/p/42"},
      {"0,11702", false, true, {"a\xFF"}, "V",
       "-quiet|-D|-r|-J|-joliet-long|-V|V|-o|/p/42.iso|-M|/dev/sr0|-C|0,11702|-joliet-utf16|-hide-joliet|a\xFF|/p/42"},
  };
  for (const auto& [session, hide, utf16, hidden, volume, expected] : cases) {
    std::string joined;
    for (const auto& a : mkisofsArguments(
             {QString::fromStdString(volume), "/p/42.iso", "/dev/sr0", session, hide, "/p/42", hidden, utf16}))
      joined += (joined.empty() ? "" : "|") + a;
    EXPECT_EQ(joined, expected);
  }
}

TEST(ImageToolSessionText, OnlyZeroOrTwoAddressesThatCannotOverlap) {
  for (const char* good : {"0", "0,11702", "12345,23456", "0,300", "2147483000,2147483647"})
    EXPECT_TRUE(checkSessionText(good).ok()) << good;
  for (const char* bad : {"", "00", "0,", ",5", "0,50", "0,299", "5,5", "9000,100", "-1,500", " 1,20000", "1,20000 ",
                          "1,2,3", "1;20000", "0x10,20000", "0,2147483648", "99999999999,1", "1.5,20000"})
    EXPECT_FALSE(checkSessionText(bad).ok()) << bad;
}

// On PATH only xorrisofs is taken (not genisoimage, not mkisofs), and an empty
// entry (the current folder) is never searched.
TEST(ImageToolLocation, OnlyXorrisofsIsTakenFromPath) {
  if (fs::exists(fs::path(TESSALINE_LIBEXECDIR) / "mkisofs")) GTEST_SKIP() << "an installed tool comes first";
  TempDir dir;
  for (const char* tool : {"bin/genisoimage", "bin/mkisofs", "other/xorrisofs", "xorrisofs"})
    makeExecutable(dir / tool, "#!/bin/sh\nexit 0\n");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  test::ScopedEnv noOverride("TESSALINE_MKISOFS", "");
  test::ScopedEnv path("PATH", (dir / "bin").string() + "::" + (dir / "other").string());
  const auto found = locateImageTool();
  fs::current_path(cwd);
  ASSERT_TRUE(found.ok()) << found.error().message;
  EXPECT_EQ(found.value(), dir / "other/xorrisofs");

  // Nowhere: the message says what to install and every place looked in.
  test::ScopedEnv nowhere("PATH", (dir / "bin").string());
  const auto missing = locateImageTool();
  ASSERT_FALSE(missing.ok());
  const std::string beside = (fs::read_symlink("/proc/self/exe").parent_path() / "../libexec/tessaline/mkisofs").lexically_normal();
  EXPECT_EQ(missing.error().message, "the image tool xorrisofs was not found: install the package xorriso (searched: " +
                                         (fs::path(TESSALINE_LIBEXECDIR) / "mkisofs").string() + "; " + beside +
                                         "; xorrisofs on PATH)");
}

// Which tool it is comes from what it says, not from its name.
TEST(ImageToolIdentity, ByWhatTheToolSaysNotByItsName) {
  for (const std::string& text : {std::string("mkisofs 3.02a09 (x86_64-pc-linux-gnu) Copyright (C) 1993-1997 Eric Youngdale\n"),
                                  std::string("\x7f" "ELF\0\xff", 7)})
    EXPECT_EQ(imageToolKindFromVersion(text).value(), ImageToolKind::Other) << text;
  // The real tools, under names that say nothing or the wrong thing.
  TempDir dir;
  fs::create_symlink("/usr/bin/xorrisofs", dir / "mkisofs");
  fs::create_symlink("/usr/bin/genisoimage", dir / "xorrisofs");
  fs::create_symlink("/usr/bin/xorriso", dir / "genisoimage");  // xorriso takes that name as mkisofs too
  fs::create_symlink("/usr/bin/xorriso", dir / "tool");
  makeExecutable(dir / "dies", "#!/bin/sh\nkill -9 $$\n");
  EXPECT_EQ(identifyImageTool(dir / "mkisofs").value().kind, ImageToolKind::Xorrisofs);
  EXPECT_EQ(identifyImageTool(dir / "xorrisofs").value().kind, ImageToolKind::Genisoimage);
  EXPECT_EQ(identifyImageTool(dir / "genisoimage").value().kind, ImageToolKind::Xorrisofs);
  EXPECT_EQ(identifyImageTool(dir / "tool").error().kind, ErrorKind::InvalidInput);  // xorriso takes no mkisofs arguments
  EXPECT_EQ(identifyImageTool(dir / "dies").value().kind, ImageToolKind::Other);
  EXPECT_EQ(identifyImageTool(dir / "missing").value().kind, ImageToolKind::Other);
}

// Block 16 of an image: a primary volume descriptor counting `blocks`.
std::string descriptor(std::uint32_t blocks) {
  std::string b = "\x01" "CD001" + std::string(2042, '\0');
  for (int i = 0; i < 4; ++i) b[80 + i] = b[87 - i] = static_cast<char>((blocks >> (8 * i)) & 0xFF);
  return b;
}

TEST(ImageToolOutput, AnImageMustBeWholeAndAsLongAsItSays) {
  const std::vector<std::tuple<std::string, std::uint64_t, long long, bool>> cases = {
      {descriptor(200), 200 * 2048, 0, true},
      {descriptor(200), 250 * 2048, 0, true},           // padded
      {descriptor(200), 199 * 2048, 0, false},          // cut short
      {descriptor(200), 200 * 2048 + 5, 0, false},      // not whole blocks
      {descriptor(200), 0, 0, false},                   // empty
      {std::string(2048, '\0'), 200 * 2048, 0, false},  // no descriptor
      {descriptor(200).substr(0, 100), 17 * 2048, 0, false},
      {descriptor(11702 + 200), 200 * 2048, 11702, true},  // counted from the disc's start
      {descriptor(11702 + 200), 199 * 2048, 11702, false},
  };
  for (const auto& [block16, size, next, ok] : cases)
    EXPECT_EQ(checkImageHead(block16, size, next).ok(), ok) << size << " from " << next;
}

// One build, answered once and never from within start(); with an image
// named, success also needs that image whole. `reused` runs it on a build
// that has run before.
ImageBuildResult runBuild(const fs::path& tool, const Args& args, std::optional<fs::path> image = std::nullopt,
                          ImageBuild* reused = nullptr) {
  ImageBuild fresh;
  ImageBuild& build = reused != nullptr ? *reused : fresh;
  std::vector<ImageBuildResult> results;
  const auto connection =
      QObject::connect(&build, &ImageBuild::finished, [&](const ImageBuildResult& r) { results.push_back(r); });
  build.start(ImageTool{tool}, args, image ? std::optional(ImageBuild::ExpectedImage{*image, 0}) : std::nullopt);
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(test::waitUntil([&] { return !results.empty(); }, std::chrono::seconds(60)));
  test::waitUntil([] { return false; }, std::chrono::milliseconds(50));
  QObject::disconnect(connection);
  EXPECT_EQ(results.size(), 1u);
  return results.empty() ? ImageBuildResult{} : results[0];
}

// The image's paths as xorriso reads them, sorted: the Rock Ridge tree, or
// with "norock" the Joliet tree.
std::set<std::string> listing(const fs::path& image, bool joliet) {
  const auto r = test::runProgram("xorriso", {"-abort_on", "FATAL", "-read_fs", joliet ? "norock" : "any", "-indev",
                                              image.string(), "-find", "/"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::set<std::string> names;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);)  // quoted, byte for byte
    if (line.size() >= 2 && line.front() == '\'' && line.back() == '\'') names.insert(line.substr(1, line.size() - 2));
  return names;
}

// genisoimage, the second supported tool (xorrisofs is the burns' default):
// names Joliet cannot carry (not UTF-8, beyond UCS-2) are hidden from it, and
// only they; Rock Ridge keeps every name exactly.
TEST(ImageBuild, GenisoimageKeepsEveryNameInRockRidgeAndHidesFromJolietOnlyWhatItCannotCarry) {
  TempDir dir;
  const fs::path staging = dir / "42";
  const std::string utf8 = "Caf\xC3\xA9 \xE6\x97\xA5.txt";
  const std::vector<std::string> names = {
      "ok.txt", utf8, std::string(200, 'n'), "sub/caf\xE9", "other/caf\xE9", "d\xFF/inner.txt", "a*b\xFE",
      "a*bc",  // a glob sibling of a hidden name
      "we[i]rd*?\\\xFF", "smile\xF0\x9F\x98\x80.txt", "bad\xC0\xAF"};
  for (const auto& name : names) test::writeFile(staging / name, "x");
  fs::create_symlink("/nowhere", staging / "link\xE9");
  ImageToolRequest r{QStringLiteral("Vol \u00e9"), dir / "42.iso", "", "0", false, staging,
                     namesToHideFromJoliet(staging), false};
  EXPECT_EQ(r.jolietHidden.size(), 7u);  // caf\xE9 once
  const ImageBuildResult result = runBuild("/usr/bin/genisoimage", mkisofsArguments(r));
  ASSERT_TRUE(result.success) << result.detail.toStdString();

  std::set<std::string> rr = {"/", "/sub", "/other", "/d\xFF", "/link\xE9"};
  for (const std::string& name : names) rr.insert("/" + name);
  EXPECT_EQ(listing(dir / "42.iso", false), rr);
  // Joliet turns * into _; -joliet-long allows 103 characters.
  EXPECT_EQ(listing(dir / "42.iso", true), (std::set<std::string>{"/", "/" + utf8, "/a_bc", "/" + std::string(103, 'n'),
                                                                   "/ok.txt", "/other", "/sub"}));
}

// The tool runs with a UTF-8 locale, no input and the exact argument bytes;
// its failure reports the last 20 lines of its standard error, and every line
// goes to the log.
TEST(ImageBuild, AFailingToolGetsItsArgumentsAsBytesAndReportsItsLastLinesOrThatItCannotRun) {
  TempDir dir;
  makeExecutable(dir / "probe",
                 "#!/bin/sh\nfor i in $(seq 1 30); do echo \"problem $i\" >&2; done\necho 'to stdout'\n"
                 "echo \"LC_ALL=$LC_ALL LANG=$LANG\" >&2\nif read -r line; then echo 'had input' >&2; fi\n"
                 "for a in \"$@\"; do printf '%s' \"$a\" | od -An -tx1 | tr -d ' \\n' >&2; echo >&2; done\n"
                 "printf 'no newline at the end' >&2\nexit 3\n");
  test::ScopedEnv locale("LC_ALL", "C");
  std::vector<std::string> logged;
  LogCapture capture([&](const std::string& line) { logged.push_back(line); });
  const ImageBuildResult result = runBuild(dir / "probe", {"caf\xE9", "", "a b"});
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.exitCode, 3);
  const QStringList lines = result.detail.split(QLatin1Char('\n'));
  for (const char* line : {"problem 15", "problem 30", "LC_ALL=C.UTF-8 LANG=C.UTF-8", "636166e9", "612062",
                           "no newline at the end"})
    EXPECT_TRUE(lines.contains(QString::fromUtf8(line))) << line << " in " << result.detail.toStdString();
  for (const char* line : {"problem 14", "had input", "to stdout"})
    EXPECT_FALSE(lines.contains(QString::fromUtf8(line))) << line;
  ASSERT_EQ(logged.size(), 34u);  // the empty argument gives an empty line: not kept
  EXPECT_EQ(logged.front(), "problem 1");

  // A tool that cannot run, or exits 0 without writing the image, fails saying
  // why (one that is missing, killed or writes too little: the end-to-end burns).
  makeExecutable(dir / "garbage", std::string("\x7f" "ELF garbage", 12));
  makeExecutable(dir / "none", "#!/bin/sh\nexit 0\n");
  for (const auto& [tool, why] : {std::pair<std::string, std::string>{"garbage", "cannot run the image tool " +
                                                                                   (dir / "garbage").string() + " (errno 8)"},
                                  {"none", "no image was written"}}) {
    const auto r = runBuild(dir / tool, {(dir / "out.iso").string()}, dir / "out.iso");
    EXPECT_FALSE(r.success) << tool;
    EXPECT_TRUE(r.detail.contains(QString::fromStdString(why))) << r.detail.toStdString();
  }
  // A build whose tool is not there runs the next one it is given.
  ImageBuild build;
  EXPECT_TRUE(runBuild(dir / "missing", {}, std::nullopt, &build).detail.contains(QStringLiteral("cannot be started")));
  EXPECT_TRUE(runBuild(dir / "none", {}, std::nullopt, &build).success);
}

}  // namespace
}  // namespace tessaline
