#include <gtest/gtest.h>

#include <sys/stat.h>

#include "burn/image_tool.h"
#include "common/log.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;

ImageToolRequest request(const std::string& session, bool hide = false) {
  ImageToolRequest r;
  r.volumeName = QStringLiteral("my CDROM");
  r.imagePath = "/tmp/p/42.iso";
  r.toolDevice = "/dev/sr0";
  r.sessionText = session;
  r.hidePreviousSessions = hide;
  r.stagingFolder = "/tmp/p/42";
  return r;
}

TEST(ImageToolArguments, TheThreeCommandLines) {
  EXPECT_EQ(mkisofsArguments(request("0")),
            (Args{"-quiet", "-D", "-J", "-joliet-long", "-V", "my CDROM", "-r", "-o", "/tmp/p/42.iso", "/tmp/p/42"}));
  EXPECT_EQ(mkisofsArguments(request("12345,23456")),
            (Args{"-quiet", "-D", "-r", "-J", "-joliet-long", "-V", "my CDROM", "-o", "/tmp/p/42.iso", "-M", "/dev/sr0",
                  "-C", "12345,23456", "/tmp/p/42"}));
  EXPECT_EQ(mkisofsArguments(request("12345,23456", true)),
            (Args{"-quiet", "-D", "-r", "-J", "-joliet-long", "-V", "my CDROM", "-o", "/tmp/p/42.iso", "-C",
                  "12345,23456", "/tmp/p/42"}));
  // A first session ignores the hide flag: there is nothing to hide.
  EXPECT_EQ(mkisofsArguments(request("0", true)), mkisofsArguments(request("0")));
}

TEST(ImageToolArguments, VolumeNameAndHiddenNames) {
  ImageToolRequest r = request("0");
  r.volumeName = QString();
  Args args = mkisofsArguments(r);
  ASSERT_EQ(args.size(), 10u);
  EXPECT_EQ(args[4], "-V");
  EXPECT_EQ(args[5], "");  // an empty volume name is still an argument

  r.volumeName = QStringLiteral("Caf\u00e9");
  r.jolietHidden = {"caf\xE9", "x\\*y"};
  args = mkisofsArguments(r);
  EXPECT_EQ(args[5], "Caf\xC3\xA9");
  EXPECT_EQ(Args(args.end() - 5, args.end()), (Args{"-hide-joliet", "caf\xE9", "-hide-joliet", "x\\*y", "/tmp/p/42"}));

  ImageToolRequest c = request("0,11702");
  c.jolietHidden = {"a\xFF"};
  args = mkisofsArguments(c);
  EXPECT_EQ(Args(args.end() - 7, args.end()), (Args{"-M", "/dev/sr0", "-C", "0,11702", "-hide-joliet", "a\xFF", "/tmp/p/42"}));
}

TEST(ImageToolSessionText, OnlyZeroOrTwoAddressesThatCannotOverlap) {
  for (const char* good : {"0", "0,11702", "12345,23456", "0,300", "2147483000,2147483647"}) {
    EXPECT_TRUE(checkSessionText(good).ok()) << good;
  }
  for (const char* bad : {"", "00", "0,", ",5", "0,50", "0,299", "5,5", "9000,100", "-1,500", " 1,20000", "1,20000 ",
                          "1,2,3", "1;20000", "0x10,20000", "0,2147483648", "99999999999,1", "1.5,20000"}) {
    auto r = checkSessionText(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidInput);
  }
}

void makeExecutable(const fs::path& path, const std::string& script) {
  test::writeFile(path, script);
  ::chmod(path.c_str(), 0755);
}

TEST(ImageToolLocation, OverrideThenInstallThenPath) {
  TempDir dir;
  makeExecutable(dir / "bin/genisoimage", "#!/bin/sh\nexit 0\n");
  {
    ScopedEnv tool("TESSALINE_MKISOFS", (dir / "bin/genisoimage").string());
    auto found = locateImageTool();
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value(), dir / "bin/genisoimage");
  }
  {
    ScopedEnv tool("TESSALINE_MKISOFS", (dir / "nothing-here").string());
    auto found = locateImageTool();
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error().kind, ErrorKind::NotFound);
    EXPECT_NE(found.error().message.find("nothing-here"), std::string::npos);
  }
  if (fs::exists(fs::path(TESSALINE_LIBEXECDIR) / "mkisofs")) GTEST_SKIP() << "an installed tool comes first";
  ScopedEnv noOverride("TESSALINE_MKISOFS", "");
  {
    ScopedEnv path("PATH", (dir / "empty").string() + ":" + (dir / "bin").string());
    auto found = locateImageTool();
    ASSERT_TRUE(found.ok()) << found.error().message;
    EXPECT_EQ(found.value(), dir / "bin/genisoimage");
    makeExecutable(dir / "empty/mkisofs", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(locateImageTool().value(), dir / "empty/mkisofs");  // mkisofs before genisoimage
  }
  {
    ScopedEnv path("PATH", (dir / "nowhere").string());
    auto found = locateImageTool();
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error().kind, ErrorKind::NotFound);
    EXPECT_NE(found.error().message.find("mkisofs"), std::string::npos);
    EXPECT_NE(found.error().message.find(TESSALINE_LIBEXECDIR), std::string::npos);
  }
}

TEST(ImageToolJoliet, FindsNamesJolietCannotCarryAndEscapesThem) {
  TempDir dir;
  const fs::path s = dir / "42";
  test::writeFile(s / "ok.txt", "");
  test::writeFile(s / "Caf\xC3\xA9 \xE6\x97\xA5.txt", "");  // UTF-8 within UCS-2: fine
  test::writeFile(s / "sub/caf\xE9", "");                  // Latin-1
  test::writeFile(s / "other/caf\xE9", "");                // the same name elsewhere: one pattern
  test::writeFile(s / "we[i]rd*?\\\xFF", "");
  test::writeFile(s / "smile\xF0\x9F\x98\x80.txt", "");    // beyond UCS-2
  test::writeFile(s / "d\xFE/inner", "");
  test::writeFile(s / "bad\xC0\xAF", "");                  // an overlong form
  fs::create_symlink("/nowhere", s / "link\xE9");

  std::vector<std::string> logged;
  LogCapture capture([&](const std::string& line) { logged.push_back(line); });
  std::vector<std::string> patterns = namesToHideFromJoliet(s);
  std::sort(patterns.begin(), patterns.end());
  EXPECT_EQ(patterns, (Args{"bad\xC0\xAF", "caf\xE9", "d\xFE", "link\xE9", "smile\xF0\x9F\x98\x80.txt",
                            "we\\[i]rd\\*\\?\\\\\xFF"}));
  EXPECT_EQ(logged.size(), 7u);  // every entry, both caf\xE9 included
  EXPECT_TRUE(namesToHideFromJoliet(dir / "nothing").empty());
}

}  // namespace
}  // namespace tessaline
