#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "devices/mount_lookup.h"
#include "devices/mount_table.h"

namespace tessaline {
namespace {

MountEntry mount(std::string from, std::string point, std::string type) {
  return MountEntry{std::move(from), std::move(point), std::move(type)};
}

TEST(ParseMountTable, ReadsTheKernelFormat) {
  const std::string text =
      "sysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
      "/dev/sr0 /media/user/BACKUP iso9660 ro,nosuid,nodev,relatime,uid=1000 0 0\n"
      "/dev/sda1 / ext4 rw,relatime 0 0";  // no final newline
  const auto entries = parseMountTable(text);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], mount("sysfs", "/sys", "sysfs"));
  EXPECT_EQ(entries[1], mount("/dev/sr0", "/media/user/BACKUP", "iso9660"));
  EXPECT_EQ(entries[2], mount("/dev/sda1", "/", "ext4"));
}

TEST(ParseMountTable, DecodesTheEscapesOfBlanksNewlinesAndBackslashes) {
  const std::string text =
      "/dev/sr0 /media/u/My\\040Disc iso9660 ro 0 0\n"
      "/dev/sr1 /media/u/tab\\011here iso9660 ro 0 0\n"
      "/dev/sr2 /media/u/line\\012break iso9660 ro 0 0\n"
      "/dev/sr3 /media/u/back\\134slash\\134040 iso9660 ro 0 0\n"
      "//server/share\\040x /mnt/x cifs rw 0 0\n";
  const auto entries = parseMountTable(text);
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].mountPoint, "/media/u/My Disc");
  EXPECT_EQ(entries[1].mountPoint, "/media/u/tab\there");
  EXPECT_EQ(entries[2].mountPoint, "/media/u/line\nbreak");
  // The decoded backslash does not start another escape.
  EXPECT_EQ(entries[3].mountPoint, "/media/u/back\\slash\\040");
  EXPECT_EQ(entries[4].mountedFrom, "//server/share x");
}

TEST(ParseMountTable, KeepsWhatIsNotAnEscapeAndBytesThatAreNotUtf8) {
  const std::string text =
      "/dev/sr0 /a\\x\\12\\9999\\400\\ iso9660 ro 0 0\n"
      "/dev/sr0 /caf\\351/\xff iso9660 ro 0 0\n";
  const auto entries = parseMountTable(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].mountPoint, "/a\\x\\12\\9999\\400\\");
  EXPECT_EQ(entries[1].mountPoint, std::string("/caf\xe9/\xff"));
}

TEST(ParseMountTable, SkipsMalformedLines) {
  const std::string text =
      "\n"
      "   \n"
      "# /dev/sr9 /commented iso9660 ro 0 0\n"
      "/dev/sr0\n"
      "/dev/sr0 /only-two\n"
      "/dev/sr0\t/tabs\tiso9660\tro\t0\t0\r\n"
      "  /dev/sr1   /spaced   iso9660\n";
  const auto entries = parseMountTable(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], mount("/dev/sr0", "/tabs", "iso9660"));
  EXPECT_EQ(entries[1], mount("/dev/sr1", "/spaced", "iso9660"));
  EXPECT_TRUE(parseMountTable("").empty());
}

TEST(MountTable, WritesWhatItReadsBackExactly) {
  EXPECT_EQ(escapeMountField("/run/a b\tc\nd\\e"), "/run/a\\040b\\011c\\012d\\134e");
  const MountEntry odd = mount("/dev/emu1", "/run/a b\tc\nd\\e \xff\xfe", "iso9660");
  const auto back = parseMountTable("# session 0\n" + mountTableLine(odd, "ro"));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0], odd);
  EXPECT_EQ(parseMountTable("/dev/sr0 /trailing\\04 iso9660")[0].mountPoint, "/trailing\\04");
}

TEST(ReadSystemMounts, FindsTheRootFileSystem) {
  const auto entries = readMountTable();
  ASSERT_FALSE(entries.empty());
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const MountEntry& e) { return e.mountPoint == "/"; }));
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const MountEntry& e) { return e.type == "proc"; }));
}

TEST(MountLookup, FindsAnIsoVolumeAndCallsItCompliant) {
  const std::vector<MountEntry> mounts = {
      mount("/dev/sda1", "/", "ext4"),
      mount("/dev/sr0", "/media/u/BACKUP", "iso9660"),
  };
  EXPECT_EQ(mountPathForFallbackBsdName("sr0", "", mounts), "/media/u/BACKUP");
  EXPECT_TRUE(mediaTessalineCompliant("sr0", "", mounts));
  // The name other systems give ISO 9660 counts too.
  EXPECT_TRUE(mediaTessalineCompliant("sr0", "", {mount("/dev/sr0", "/Volumes/B", "cd9660")}));
}

TEST(MountLookup, AnotherFileSystemHasAMountPointButIsNotCompliant) {
  const std::vector<MountEntry> mounts = {mount("/dev/sr0", "/media/u/DVD", "udf")};
  EXPECT_EQ(mountPathForFallbackBsdName("sr0", "", mounts), "/media/u/DVD");
  EXPECT_FALSE(mediaTessalineCompliant("sr0", "", mounts));
  EXPECT_FALSE(mediaTessalineCompliant("sr0", "", {mount("/dev/sr0", "/m", "ISO9660")}));
}

TEST(MountLookup, FirstListedWinsTheLookupAnyIsoWinsCompliance) {
  const std::vector<MountEntry> otherFirst = {
      mount("/dev/sr0", "/media/u/first", "hfsplus"),
      mount("/dev/sr0", "/media/u/second", "iso9660"),
  };
  EXPECT_EQ(mountPathForFallbackBsdName("sr0", "", otherFirst), "/media/u/first");
  EXPECT_TRUE(mediaTessalineCompliant("sr0", "", otherFirst));
  const std::vector<MountEntry> isoFirst = {otherFirst[1], otherFirst[0]};
  EXPECT_EQ(mountPathForFallbackBsdName("sr0", "", isoFirst), "/media/u/second");
  EXPECT_TRUE(mediaTessalineCompliant("sr0", "", isoFirst));
}

TEST(MountLookup, TheFallbackStandsInOnlyForAnEmptyName) {
  const std::vector<MountEntry> mounts = {
      mount("/dev/sr0", "/media/u/zero", "iso9660"),
      mount("/dev/sr1", "/media/u/one", "iso9660"),
  };
  EXPECT_EQ(mountPathForFallbackBsdName("", "sr1", mounts), "/media/u/one");
  EXPECT_TRUE(mediaTessalineCompliant("", "sr1", mounts));
  EXPECT_EQ(mountPathForFallbackBsdName("sr0", "sr1", mounts), "/media/u/zero");
  EXPECT_EQ(mountPathForFallbackBsdName("sr2", "sr1", mounts), std::nullopt);
  EXPECT_FALSE(mediaTessalineCompliant("sr2", "sr1", mounts));
}

TEST(MountLookup, NoNameAtAllMatchesNothing) {
  const std::vector<MountEntry> mounts = {
      mount("/dev/sda1", "/", "ext4"),
      mount("/dev/sr0", "/media/u/zero", "iso9660"),
  };
  EXPECT_EQ(devicePathFor("", ""), std::nullopt);
  EXPECT_EQ(mountPathForFallbackBsdName("", "", mounts), std::nullopt);
  EXPECT_FALSE(mediaTessalineCompliant("", "", mounts));
}

TEST(MountLookup, ASliceOfTheDeviceMatchesAnotherDeviceNumberDoesNot) {
  const std::vector<MountEntry> mounts = {
      mount("/dev/sr10", "/media/u/ten", "iso9660"),
      mount("/dev/sr1p1", "/media/u/slice", "iso9660"),
  };
  EXPECT_EQ(mountPathForFallbackBsdName("sr1", "", mounts), "/media/u/slice");
  EXPECT_EQ(mountPathForFallbackBsdName("sr10", "", mounts), "/media/u/ten");
  EXPECT_EQ(mountPathForFallbackBsdName("sr", "", mounts), std::nullopt);
  EXPECT_FALSE(mediaTessalineCompliant("sr1", "", {mounts[0]}));
  EXPECT_TRUE(isMountedFromDevice("/dev/disk1s0", "/dev/disk1"));
  EXPECT_FALSE(isMountedFromDevice("/dev/sr", "/dev/sr0"));
  EXPECT_FALSE(isMountedFromDevice("tmpfs", "/dev/sr0"));
}

TEST(MountLookup, NothingMountedMeansNoPathAndNotCompliant) {
  EXPECT_EQ(mountPathForFallbackBsdName("sr0", "", {}), std::nullopt);
  EXPECT_FALSE(mediaTessalineCompliant("sr0", "", {}));
}

}  // namespace
}  // namespace tessaline
