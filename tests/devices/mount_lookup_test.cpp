// Mount tables as the kernel and hostile names write them, and which mounted
// volume belongs to a writer.

#include <gtest/gtest.h>

#include "devices/mount_lookup.h"
#include "devices/mount_table.h"

namespace tessaline {
namespace {

TEST(ParseMountTable, DecodesEscapesKeepsOddBytesAndSkipsMalformedLines) {
  // Each line alone: the entry it gives, or none.
  struct Case {
    std::string line;
    std::optional<MountEntry> entry;
  };
  for (const Case& c : std::vector<Case>{
           {"/dev/sr0 /media/user/BACKUP iso9660 ro,nosuid,uid=1000 0 0\n", MountEntry{"/dev/sr0", "/media/user/BACKUP", "iso9660"}},
           {"/dev/sda1 / ext4 rw,relatime 0 0", MountEntry{"/dev/sda1", "/", "ext4"}},  // no final newline
           {"/dev/sr0 /media/u/My\\040Disc\\011\\012 iso9660 ro 0 0\n", MountEntry{"/dev/sr0", "/media/u/My Disc\t\n", "iso9660"}},
           // A decoded backslash does not start another escape.
           {"/dev/sr3 /back\\134slash\\134040 iso9660 ro 0 0\n", MountEntry{"/dev/sr3", "/back\\slash\\040", "iso9660"}},
           {"//server/share\\040x /mnt/x cifs rw 0 0\n", MountEntry{"//server/share x", "/mnt/x", "cifs"}},
           // What is not an escape stays; bytes that are not UTF-8 pass through.
           {"/dev/sr0 /a\\x\\12\\9999\\400\\ iso9660 ro 0 0\n", MountEntry{"/dev/sr0", "/a\\x\\12\\9999\\400\\", "iso9660"}},
           {"/dev/sr0 /caf\\351/\xff iso9660 ro 0 0\n", MountEntry{"/dev/sr0", "/caf\xe9/\xff", "iso9660"}},
           {"/dev/sr0 /trailing\\04 iso9660", MountEntry{"/dev/sr0", "/trailing\\04", "iso9660"}},
           {"/dev/sr0\t/tabs\tiso9660\tro\t0\t0\r\n", MountEntry{"/dev/sr0", "/tabs", "iso9660"}},
           {"  /dev/sr1   /spaced   iso9660\n", MountEntry{"/dev/sr1", "/spaced", "iso9660"}},
           {"", std::nullopt}, {"   \n", std::nullopt}, {"# /dev/sr9 /commented iso9660 ro 0 0\n", std::nullopt},
           {"/dev/sr0\n", std::nullopt}, {"/dev/sr0 /only-two\n", std::nullopt}, {"garbage\n", std::nullopt}}) {
    SCOPED_TRACE(c.line);
    const auto entries = parseMountTable(c.line);
    EXPECT_EQ(entries, c.entry ? std::vector<MountEntry>{*c.entry} : std::vector<MountEntry>{});
  }
  EXPECT_EQ(parseMountTable("a /a t\n\nb /b t\n").size(), 2u);
  // What the emulated writer writes, it reads back exactly.
  const MountEntry odd{"/dev/emu1", "/run/a b\tc\nd\\e \xff\xfe", "iso9660"};
  EXPECT_EQ(parseMountTable("# session 0\n" + mountTableLine(odd, "ro")), std::vector<MountEntry>{odd});
}

TEST(MountLookup, TheWritersVolumeByItsDeviceOrTheFallbackAndWhetherItIsIso9660) {
  const MountEntry iso0{"/dev/sr0", "/media/u/zero", "iso9660"}, udf0{"/dev/sr0", "/media/u/udf", "udf"},
      iso1{"/dev/sr1", "/media/u/one", "iso9660"}, slice1{"/dev/sr1p1", "/media/u/slice", "iso9660"},
      iso10{"/dev/sr10", "/media/u/ten", "iso9660"}, root{"/dev/sda1", "/", "ext4"};
  struct Case {
    const char* bsd;
    const char* fallback;
    std::vector<MountEntry> mounts;
    std::optional<std::string> path;
    bool compliant;
  };
  for (const Case& c : std::vector<Case>{
           {"sr0", "", {root, iso0}, "/media/u/zero", true},
           {"sr0", "", {{"/dev/sr0", "/Volumes/B", "cd9660"}}, "/Volumes/B", true},  // as other systems name it
           {"sr0", "", {{"/dev/sr0", "/m", "ISO9660"}}, "/m", false},
           {"sr0", "", {udf0}, "/media/u/udf", false},
           {"sr0", "", {udf0, iso0}, "/media/u/udf", true},  // the first listed; any ISO 9660 volume
           {"sr0", "", {}, std::nullopt, false},
           {"", "sr1", {iso0, iso1}, "/media/u/one", true},  // the fallback only for an empty name
           {"sr0", "sr1", {iso0, iso1}, "/media/u/zero", true},
           {"sr2", "sr1", {iso0, iso1}, std::nullopt, false},
           {"", "", {root, iso0}, std::nullopt, false},
           {"sr1", "", {iso10, slice1}, "/media/u/slice", true},  // a slice matches, another number does not
           {"sr1", "", {iso10}, std::nullopt, false},
           {"sr10", "", {iso10, slice1}, "/media/u/ten", true},
           {"sr", "", {iso10, slice1}, std::nullopt, false}}) {
    SCOPED_TRACE(std::string(c.bsd) + "|" + c.fallback + "|" + std::to_string(c.mounts.size()));
    EXPECT_EQ(mountPathForFallbackBsdName(c.bsd, c.fallback, c.mounts), c.path);
    EXPECT_EQ(mediaTessalineCompliant(c.bsd, c.fallback, c.mounts), c.compliant);
  }
  EXPECT_TRUE(isMountedFromDevice("/dev/disk1s0", "/dev/disk1"));
  EXPECT_FALSE(isMountedFromDevice("tmpfs", "/dev/sr0"));
}

}  // namespace
}  // namespace tessaline
