#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
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

// These cases are genisoimage's, the second supported tool; xorrisofs (the
// default) is covered by the burns of the controller and the command line.
fs::path genisoimage() { return "/usr/bin/genisoimage"; }

// The image's names, one per line, as an independent reader (xorriso) sees
// them: the Rock Ridge tree, or with "norock" the Joliet tree.
std::vector<std::string> listing(const fs::path& image, bool joliet, long long block = 0) {
  std::vector<std::string> args = {"-abort_on", "FATAL", "-read_fs", joliet ? "norock" : "any"};
  if (block > 0) args.insert(args.end(), {"-load", "sbsector", std::to_string(block)});
  args.insert(args.end(), {"-indev", image.string(), "-find", "/"});
  // xorriso quotes each path; names are echoed byte for byte.
  const auto r = runProgram("xorriso", args);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> names;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);)
    if (line.size() >= 2 && line.front() == '\'' && line.back() == '\'') names.push_back(line.substr(1, line.size() - 2));
  std::sort(names.begin(), names.end());
  return names;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

void makeExecutable(const fs::path& path, const std::string& script) {
  test::writeFile(path, script);
  ::chmod(path.c_str(), 0755);
}

ImageToolRequest request(const fs::path& image, const fs::path& staging, std::string sessionText = "0") {
  ImageToolRequest r;
  r.volumeName = QStringLiteral("V");
  r.imagePath = image;
  r.sessionText = std::move(sessionText);
  r.stagingFolder = staging;
  r.jolietHidden = namesToHideFromJoliet(staging);
  return r;
}

// Writes a session image into the "disc" file at its block.
void placeAt(const fs::path& image, const fs::path& disc, long long block) {
  EXPECT_EQ(runProgram("dd", {"if=" + image.string(), "of=" + disc.string(), "bs=2048", "seek=" + std::to_string(block),
                              "conv=notrunc", "status=none"})
                .exitCode,
            0);
}

TEST(ImageBuild, FirstSessionKeepsEveryNameInRockRidgeAndFitsJoliet) {
  TempDir dir;
  const fs::path staging = dir / "42";
  const std::string longName(200, 'n');
  const std::string latin1 = "caf\xE9.txt";
  const std::string utf8 = "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt";
  test::writeFile(staging / "ok.txt", "ok");
  test::writeFile(staging / utf8, "u");
  test::writeFile(staging / longName, "l");
  test::writeFile(staging / "sub" / latin1, "x");
  test::writeFile(staging / "d\xFF/inner.txt", "i");
  test::writeFile(staging / "a*b\xFE", "g");
  test::writeFile(staging / "a*bc", "glob sibling");  // must stay in Joliet

  ImageToolRequest req = request(dir / "42.iso", staging);
  req.volumeName = QStringLiteral("Vol \u00e9");
  const ImageBuildResult result = runBuild(genisoimage(), mkisofsArguments(req));
  ASSERT_TRUE(result.success) << result.detail.toStdString();
  EXPECT_EQ(result.exitCode, 0);

  const auto rr = listing(dir / "42.iso", false);
  for (const std::string& name :
       {std::string("/ok.txt"), "/" + utf8, "/" + longName, "/sub/" + latin1, std::string("/d\xFF/inner.txt"), std::string("/a*b\xFE"),
        std::string("/a*bc")})
    EXPECT_TRUE(contains(rr, name)) << name;
  // Joliet turns * into _; -joliet-long allows 103 characters.
  const auto joliet = listing(dir / "42.iso", true);
  for (const std::string& name : {"/" + utf8, std::string("/ok.txt"), std::string("/sub"), std::string("/a_bc"),
                                  "/" + std::string(103, 'n')})
    EXPECT_TRUE(contains(joliet, name)) << name;
  for (const std::string& name : joliet) {
    EXPECT_EQ(name.find_first_of("\xE9\xFF\xFE"), std::string::npos) << name;  // no hidden entry leaks
    EXPECT_FALSE(name.starts_with("/sub/")) << name;
  }
}

TEST(ImageBuild, ContinuedSessionCarriesTheEarlierTree) {
  TempDir dir;
  test::writeFile(dir / "s1/old.txt", "old");
  test::writeFile(dir / "s1/Docs/a.txt", "a");
  ASSERT_TRUE(runBuild(genisoimage(), mkisofsArguments(request(dir / "one.iso", dir / "s1"))).success);
  const long long firstBlocks = static_cast<long long>(fs::file_size(dir / "one.iso")) / 2048;

  // The "disc": the first session at block 0, the next one after the gaps.
  const long long next = firstBlocks + 11400;
  test::writeFile(dir / "s2/Docs/b.txt", "b");
  test::writeFile(dir / "s2/new\xE9.txt", "n");
  ImageToolRequest second = request(dir / "two.iso", dir / "s2", "0," + std::to_string(next));
  second.toolDevice = (dir / "one.iso").string();
  ASSERT_TRUE(checkSessionText(second.sessionText).ok());
  const ImageBuildResult result = runBuild(genisoimage(), mkisofsArguments(second));
  ASSERT_TRUE(result.success) << result.detail.toStdString();

  const fs::path disc = dir / "disc.img";
  placeAt(dir / "one.iso", disc, 0);
  placeAt(dir / "two.iso", disc, next);
  const auto rr = listing(disc, false, next);
  for (const char* name : {"/old.txt", "/Docs/a.txt", "/Docs/b.txt", "/new\xE9.txt"}) EXPECT_TRUE(contains(rr, name)) << name;
  const auto joliet = listing(disc, true, next);
  EXPECT_TRUE(contains(joliet, "/Docs/b.txt"));
  EXPECT_FALSE(contains(joliet, "/new\xE9.txt"));

  // Without -M the new session holds only its own files.
  ImageToolRequest hidden = second;
  hidden.imagePath = dir / "three.iso";
  hidden.hidePreviousSessions = true;
  ASSERT_TRUE(runBuild(genisoimage(), mkisofsArguments(hidden)).success);
  placeAt(dir / "three.iso", disc, next);
  const auto alone = listing(disc, false, next);
  EXPECT_FALSE(contains(alone, "/old.txt"));
  EXPECT_TRUE(contains(alone, "/Docs/b.txt"));

  // genisoimage cannot merge an earlier session that holds a name Joliet
  // cannot carry: the build fails and says why.
  ImageToolRequest third = second;
  third.toolDevice = disc.string();
  third.imagePath = dir / "four.iso";
  third.sessionText = std::to_string(next) + "," + std::to_string(next + 6900 + 300);
  third.stagingFolder = dir / "s1";
  third.jolietHidden = {"new\xE9.txt"};
  const ImageBuildResult merged = runBuild(genisoimage(), mkisofsArguments(third));
  EXPECT_FALSE(merged.success);
  EXPECT_TRUE(merged.detail.contains(QStringLiteral("Incorrectly encoded string"))) << merged.detail.toStdString();
}

TEST(ImageBuild, AFailingToolReportsItsLastLines) {
  TempDir dir;
  makeExecutable(dir / "failing", "#!/bin/sh\nfor i in $(seq 1 30); do echo \"problem $i\" >&2; done\n"
                                  "echo 'to stdout'\nprintf 'no newline at the end' >&2\nexit 1\n");
  std::vector<std::string> logged;
  LogCapture capture([&](const std::string& line) { logged.push_back(line); });
  const ImageBuildResult result = runBuild(dir / "failing", {"-quiet"});
  EXPECT_FALSE(result.success);
  EXPECT_FALSE(result.cancelled);
  EXPECT_EQ(result.exitCode, 1);
  const std::string detail = result.detail.toStdString();
  EXPECT_NE(detail.find("problem 30"), std::string::npos) << detail;
  EXPECT_NE(detail.find("problem 12"), std::string::npos) << detail;
  EXPECT_EQ(detail.find("problem 11\n"), std::string::npos) << detail;  // only the last 20 lines
  EXPECT_NE(detail.find("no newline at the end"), std::string::npos);
  EXPECT_EQ(detail.find("to stdout"), std::string::npos);
  EXPECT_EQ(logged.size(), 31u);  // every line of standard error went to the log
  EXPECT_EQ(logged.front(), "problem 1");
}

TEST(ImageBuild, TheToolGetsAUtf8LocaleNoInputAndTheExactArguments) {
  TempDir dir;
  makeExecutable(dir / "probe",
                 "#!/bin/sh\necho \"LC_ALL=$LC_ALL LANG=$LANG\" >&2\n"
                 "if read -r line; then echo 'had input' >&2; fi\n"
                 "for a in \"$@\"; do printf '%s' \"$a\" | od -An -tx1 | tr -d ' \\n' >&2; echo >&2; done\nexit 3\n");
  test::ScopedEnv locale("LC_ALL", "C");
  const ImageBuildResult result = runBuild(dir / "probe", {"caf\xE9", "", "a b"});
  EXPECT_EQ(result.exitCode, 3);
  const QStringList lines = result.detail.split(QLatin1Char('\n'));
  EXPECT_TRUE(lines.contains(QStringLiteral("LC_ALL=C.UTF-8 LANG=C.UTF-8"))) << result.detail.toStdString();
  EXPECT_FALSE(result.detail.contains(QStringLiteral("had input")));
  EXPECT_TRUE(lines.contains(QStringLiteral("636166e9")));  // the Latin-1 byte arrived unchanged
  EXPECT_TRUE(lines.contains(QStringLiteral("612062")));
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
    if (tool == "no-such-mkisofs") {
      EXPECT_EQ(r.exitCode, -1);
    }
  }
}

TEST(ImageBuild, KillStopsARunningBuild) {
  TempDir dir;
  makeExecutable(dir / "slow", "#!/bin/sh\necho started >&2\nexec sleep 60\n");
  ImageBuild build;
  std::optional<ImageBuildResult> result;
  QObject::connect(&build, &ImageBuild::finished, [&](const ImageBuildResult& r) { result = r; });
  build.start(dir / "slow", {});
  ASSERT_TRUE(test::waitUntil([&] { return build.lastLines().contains(QStringLiteral("started")); }));
  EXPECT_TRUE(build.isRunning());
  build.kill();
  ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }));
  EXPECT_FALSE(result->success);
  EXPECT_TRUE(result->cancelled);
  EXPECT_TRUE(result->detail.contains(QStringLiteral("cancelled")));
  EXPECT_FALSE(build.isRunning());

  // The object can run the next build.
  result.reset();
  makeExecutable(dir / "quick", "#!/bin/sh\nexit 0\n");
  build.start(dir / "quick", {});
  ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }));
  EXPECT_TRUE(result->success);
}

}  // namespace
}  // namespace tessaline
