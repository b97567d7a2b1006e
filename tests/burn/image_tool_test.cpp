#include <gtest/gtest.h>

#include <sys/stat.h>

#include "burn/image_tool.h"
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
  for (const auto& [block16, size, next, ok] : cases) {
    const auto r = checkImageHead(block16, size, next);
    EXPECT_EQ(r.ok(), ok) << size << " from " << next;
    if (!r.ok()) {
      EXPECT_EQ(r.error().kind, ErrorKind::ToolFailed);
    }
  }
  TempDir dir;
  EXPECT_FALSE(checkImageFile(dir / "none.iso", 0).ok());
}

}  // namespace
}  // namespace tessaline
