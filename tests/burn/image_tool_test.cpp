#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>

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
  // xorrisofs's UTF-16 Joliet names: one more option, just before the tree.
  ImageToolRequest utf16 = request("12345,23456");
  utf16.jolietUtf16 = true;
  Args expected = mkisofsArguments(request("12345,23456"));
  expected.insert(expected.end() - 1, "-joliet-utf16");
  EXPECT_EQ(mkisofsArguments(utf16), expected);
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

TEST(ImageToolLocation, OverrideThenInstallThenXorrisofsOnPath) {
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
    // genisoimage and a mkisofs on PATH are not taken: only xorrisofs is.
    makeExecutable(dir / "bin/mkisofs", "#!/bin/sh\nexit 0\n");
    makeExecutable(dir / "other/xorrisofs", "#!/bin/sh\nexit 0\n");
    ScopedEnv path("PATH", (dir / "bin").string() + "::" + (dir / "other").string());
    auto found = locateImageTool();
    ASSERT_TRUE(found.ok()) << found.error().message;
    EXPECT_EQ(found.value(), dir / "other/xorrisofs");
  }
  {
    ScopedEnv path("PATH", (dir / "bin").string());
    auto found = locateImageTool();
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error().kind, ErrorKind::NotFound);
    EXPECT_NE(found.error().message.find("install the package xorriso"), std::string::npos) << found.error().message;
    EXPECT_NE(found.error().message.find(TESSALINE_LIBEXECDIR), std::string::npos);
  }
}

TEST(ImageToolIdentity, ByWhatTheToolSaysNotByItsName) {
  const std::vector<std::pair<std::string, std::optional<ImageToolKind>>> texts = {
      {"xorriso 1.5.4 : RockRidge filesystem manipulator, libburnia project.\n\n"
       "mkisofs 2.01-Emulation Copyright (C) 2019 see libburnia-project.org xorriso\n",
       ImageToolKind::Xorrisofs},
      {"genisoimage 1.1.11 (Linux)\n", ImageToolKind::Genisoimage},
      {"mkisofs 3.02a09 (x86_64-pc-linux-gnu) Copyright (C) 1993-1997 Eric Youngdale\n", ImageToolKind::Other},
      {"", ImageToolKind::Other},
      {std::string("\x7f" "ELF\0\xff", 7), ImageToolKind::Other},
      {"xorriso 1.5.4 : RockRidge filesystem manipulator, libburnia project.\n\nxorriso 1.5.4\n", std::nullopt},
  };
  for (const auto& [text, kind] : texts) {
    const auto got = imageToolKindFromVersion(text);
    ASSERT_EQ(got.ok(), kind.has_value()) << text;
    if (kind) {
      EXPECT_EQ(got.value(), *kind) << text;
    } else {
      EXPECT_EQ(got.error().kind, ErrorKind::InvalidInput);
    }
  }

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
  EXPECT_FALSE(identifyImageTool(dir / "tool").ok());  // xorriso itself takes no mkisofs arguments
  EXPECT_EQ(identifyImageTool(dir / "dies").value().kind, ImageToolKind::Other);
  EXPECT_EQ(identifyImageTool(dir / "missing").value().kind, ImageToolKind::Other);

  EXPECT_EQ(describeImageTool({"/usr/bin/xorrisofs", ImageToolKind::Xorrisofs}),
            QStringLiteral("xorrisofs (/usr/bin/xorrisofs, package xorriso)"));
  EXPECT_EQ(describeImageTool({"/x/mkisofs", ImageToolKind::Genisoimage}),
            QStringLiteral("genisoimage (/x/mkisofs, package genisoimage)"));
  EXPECT_EQ(jolietEncodingOf(ImageToolKind::Xorrisofs), JolietEncoding::Utf16);
  EXPECT_EQ(jolietEncodingOf(ImageToolKind::Genisoimage), JolietEncoding::Ucs2);
}

// Block 16 of an image: a primary volume descriptor counting `blocks`.
std::string descriptor(std::uint32_t blocks) {
  std::string b(2048, '\0');
  b[0] = 1;
  b.replace(1, 5, "CD001");
  for (int i = 0; i < 4; ++i) {
    b[80 + i] = static_cast<char>((blocks >> (8 * i)) & 0xFF);
    b[87 - i] = static_cast<char>((blocks >> (8 * i)) & 0xFF);
  }
  return b;
}

TEST(ImageToolOutput, AnImageMustBeWholeAndAsLongAsItSays) {
  struct Case {
    std::string block16;
    std::uint64_t size;
    long long next;
    bool ok;
  };
  const std::vector<Case> cases = {
      {descriptor(200), 200 * 2048, 0, true},
      {descriptor(200), 250 * 2048, 0, true},           // padded
      {descriptor(200), 199 * 2048, 0, false},          // cut short
      {descriptor(200), 200 * 2048 + 5, 0, false},      // not whole blocks
      {descriptor(200), 0, 0, false},                   // empty
      {std::string(2048, '\0'), 200 * 2048, 0, false},  // no descriptor
      {descriptor(200).substr(0, 100), 17 * 2048, 0, false},
      {descriptor(11702 + 200), 200 * 2048, 11702, true},  // counted from the disc's start
      {descriptor(11702 + 200), 150 * 2048, 11702, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const auto r = checkImageHead(c.block16, c.size, c.next);
    EXPECT_EQ(r.ok(), c.ok) << i;
    if (!r.ok()) {
      EXPECT_EQ(r.error().kind, ErrorKind::ToolFailed) << i;
    }
  }
  TempDir dir;
  EXPECT_FALSE(checkImageFile(dir / "none.iso", 0).ok());
  EXPECT_EQ(nextSessionStartOf("0"), 0);
  EXPECT_EQ(nextSessionStartOf("12345,23456"), 23456);
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
