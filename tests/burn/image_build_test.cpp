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

using test::runProgram;
using test::TempDir;
namespace fs = std::filesystem;

ImageBuildResult runBuild(const fs::path& tool, const std::vector<std::string>& args) {
  ImageBuild build;
  std::optional<ImageBuildResult> result;
  int reports = 0;
  QObject::connect(&build, &ImageBuild::finished, [&](const ImageBuildResult& r) {
    result = r;
    ++reports;
  });
  build.start(tool, args);
  EXPECT_FALSE(result.has_value());  // never answered from within start()
  EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, std::chrono::seconds(60)));
  test::waitUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(reports, 1);
  return result.value_or(ImageBuildResult{});
}

void makeExecutable(const fs::path& path, const std::string& script) {
  test::writeFile(path, script);
  ::chmod(path.c_str(), 0755);
}

// The image's paths as xorriso reads them, sorted: the Rock Ridge tree, or
// with "norock" the Joliet tree.
std::set<std::string> listing(const fs::path& image, bool joliet) {
  const auto r = runProgram("xorriso", {"-abort_on", "FATAL", "-read_fs", joliet ? "norock" : "any", "-indev",
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
  EXPECT_EQ(result.exitCode, 0);

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
TEST(ImageBuild, AFailingToolGetsItsArgumentsAsBytesAndReportsItsLastLines) {
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
  EXPECT_FALSE(result.cancelled);
  EXPECT_EQ(result.exitCode, 3);
  const QStringList lines = result.detail.split(QLatin1Char('\n'));
  for (const char* line : {"problem 15", "problem 30", "LC_ALL=C.UTF-8 LANG=C.UTF-8", "636166e9", "612062",
                           "no newline at the end"})
    EXPECT_TRUE(lines.contains(QString::fromUtf8(line))) << line << " in " << result.detail.toStdString();
  for (const char* line : {"problem 14", "had input", "to stdout"})
    EXPECT_FALSE(lines.contains(QString::fromUtf8(line))) << line;
  EXPECT_EQ(logged.size(), 34u);  // the empty argument gives an empty line: not kept
  EXPECT_EQ(logged.front(), "problem 1");
}

TEST(ImageBuild, AToolThatCannotStartFailsNamingIt) {
  TempDir dir;
  test::writeFile(dir / "not-executable", "#!/bin/sh\nexit 0\n");
  makeExecutable(dir / "garbage", std::string("\x7f" "ELF garbage", 12));  // nothing the system can run
  for (const auto& [tool, fragment] : std::vector<std::pair<std::string, const char*>>{
           {"no-such-mkisofs", "no-such-mkisofs"}, {"not-executable", "not-executable"},
           {"garbage", "cannot run the image tool"}}) {
    const ImageBuildResult r = runBuild(dir / tool, {"-quiet"});
    EXPECT_FALSE(r.success) << tool;
    EXPECT_TRUE(r.detail.contains(QString::fromUtf8(fragment))) << r.detail.toStdString();
  }
}

}  // namespace
}  // namespace tessaline
