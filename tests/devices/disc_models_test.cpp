// The disc models where no burn reaches: track lists no burn here produces
// (sessions of several tracks, 64-bit addresses, none at all), hand edits of
// an emulated disc, and mount tables as the kernel and hostile names write them.

#include <gtest/gtest.h>

#include "devices/disc_history.h"
#include "devices/emulated/emulated_medium.h"
#include "devices/mount_lookup.h"
#include "devices/mount_table.h"
#include "devices/session_addresses.h"

namespace tessaline {
namespace {

TrackRecord track(std::int64_t start, std::int64_t length) { return TrackRecord{BlockAddress{start}, BlockCount{length}}; }

// Three sessions' trees as a disc holds them: an entry belongs to the
// session from which on it stayed what the last session shows.
TEST(DiscHistoryCredit, EachEntryGoesToTheSessionFromWhichItStayedTheSame) {
  const auto tree = [](std::vector<IsoEntry> top) {
    IsoTree t;
    t.entries.push_back(IsoEntry{IsoKind::Folder});
    for (IsoEntry& e : top) t.entries.push_back(std::move(e));
    return t;
  };
  const auto file = [](const char* name, std::uint64_t size, std::int64_t mtime, std::uint64_t at) {
    return IsoEntry{IsoKind::File, 0, name, 0644, mtime, 0, size, {IsoExtent{at, 1}}};
  };
  const auto link = [](const char* name, std::int64_t mtime, const char* target) {
    return IsoEntry{IsoKind::Symlink, 0, name, 0777, mtime, 0, 0, {}, std::nullopt, target};
  };
  const auto folder = [](const char* name, std::int64_t mtime) { return IsoEntry{IsoKind::Folder, 0, name, 0755, mtime}; };
  DiscHistory history;
  history.addSession(BlockAddress{0}, BlockCount{300},
                     tree({file("kept", 5, 100, 40960), file("moved", 5, 100, 43008), file("redated", 5, 100, 45056),
                           file("resized", 5, 100, 47104), link("link", 100, "kept"), link("retargeted", 100, "kept"),
                           link("relinked", 100, "kept"), folder("dir", 100), file("gone", 1, 100, 49152)}));
  history.addSession(BlockAddress{11'702}, BlockCount{300},
                     tree({file("kept", 5, 100, 40960), file("moved", 5, 100, 24'000'000), file("redated", 5, 101, 45056),
                           file("resized", 6, 100, 47104), link("link", 100, "kept"), link("retargeted", 100, "moved"),
                           link("relinked", 101, "kept"), folder("dir", 200), file("new", 1, 100, 24'002'048)}));
  history.addSession(BlockAddress{23'404}, BlockCount{300},
                     tree({file("kept", 5, 100, 40960), file("moved", 5, 100, 24'000'000), link("link", 100, "kept"),
                           folder("dir", 300), file("new", 1, 100, 24'002'048), file("last", 1, 100, 48'000'000)}));
  const auto listed = history.list("/");
  ASSERT_TRUE(listed);
  std::map<std::string, int> credited;
  for (const DiscListingEntry& e : listed.value()) credited[e.name] = e.session;
  EXPECT_EQ(credited, (std::map<std::string, int>{{"kept", 1}, {"moved", 2}, {"link", 1}, {"dir", 1}, {"new", 2},
                                                 {"last", 3}}));
  std::vector<std::array<std::size_t, 3>> counts;  // added, replaced, hidden
  for (const SessionSummary& s : history.sessions()) counts.push_back({s.added, s.replaced, s.hidden});
  EXPECT_EQ(counts, (std::vector<std::array<std::size_t, 3>>{{9, 0, 0}, {1, 5, 1}, {1, 0, 4}}));
}

TEST(SessionAddresses, TheLastSessionAndTheNextWritableTrackInFullDecimal) {
  struct Case {
    std::vector<TrackRecord> tracks;
    std::optional<std::int64_t> lastSessionStart;  // as the writer tells it
    const char* text;
  };
  for (const Case& c : std::vector<Case>{
           {{}, std::nullopt, ""},  // nothing to continue: not "0", which would overwrite the disc's data
           {{track(0, 359'847)}, std::nullopt, "0"},
           {{track(0, 500), track(11'902, 300), track(19'104, 1'000), track(27'006, 300'000)}, std::nullopt, "19104,27006"},
           {{track(4'294'967'296, 1), track(4'294'979'000, 1)}, std::nullopt, "4294967296,4294979000"},
           // Another program wrote a session of two tracks at 0 and 5,000.
           {{track(0, 4000), track(5000, 3000), track(19'402, 300'000)}, std::nullopt, "5000,19402"},
           {{track(0, 4000), track(5000, 3000), track(19'402, 300'000)}, 0, "0,19402"}}) {
    MediumState state;
    state.tracks = c.tracks;
    if (c.lastSessionStart) state.lastSessionStart = BlockAddress{*c.lastSessionStart};
    EXPECT_EQ(sessionAddressText(sessionString(state)), c.text);
  }
  EXPECT_EQ(sessionAddressText({"7", "8", "9"}), "7,8");
}

TEST(RoomForUpdates, TheMedianSessionWithItsOverheadDividesTheFreeSpace) {
  MediumState state;
  state.appendable = true;
  // Sessions of 100,000, 2,000 and 4,000 blocks, then the next writable track.
  state.tracks = {track(0, 100'000), track(111'402, 2'000), track(120'304, 4'000), track(131'206, 228'641)};
  state.spaceFree = BlockCount{228'641};
  const auto room = roomForUpdates(state);
  ASSERT_TRUE(room.has_value());
  EXPECT_EQ(room->usualUpdate.value, 4'000 + 6'900);  // the median, not the big first backup
  EXPECT_EQ(room->updatesLeft, 228'641 / 10'900);
  state.tracks.erase(state.tracks.begin());  // two sessions: the mean of the middle two
  EXPECT_EQ(roomForUpdates(state)->usualUpdate.value, 3'000 + 6'900);
  state.blank = true;
  EXPECT_FALSE(roomForUpdates(state).has_value());
  state.blank = false;
  state.appendable = false;  // closed
  EXPECT_FALSE(roomForUpdates(state).has_value());
}

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
}

TEST(EmulatedMedium, ANearlyFullDiscHasNoFreeSpaceAndAPressedOneIsClosed) {
  emulated::Disc full;
  full.kind = MediumKind::CDR;
  full.capacity = emulated::kCd80Capacity;
  full.tracks = {{BlockAddress{0}, BlockCount{350000}}};
  EXPECT_EQ(full.freeBlocks().value, 0);  // never negative
  EXPECT_GT(emulated::sessionFootprint(BlockCount{1}), full.freeBlocks());
  auto rom = emulated::parseToc(R"({"trayOpen":false,"disc":{"kind":"cd-rom","capacity":1000,"closed":false,"tracks":[]}})");
  ASSERT_TRUE(rom);
  EXPECT_TRUE(rom.value().disc->closed);
}

TEST(EmulatedMedium, HandEditsAndBadWriterNamesAreRefusedWithAMessageThatSaysWhat) {
  const std::string head = R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":359847,"closed":false,"tracks":)";
  for (const auto& [json, fragment] : std::vector<std::pair<std::string, std::string>>{
           {"", "not valid JSON"},
           {"{\"trayOpen\":false,\"disc\":{\"kind\":\"cd-r\"", "not valid JSON"},  // truncated
           {"[1,2]", "not a JSON object"},
           {"{\"disc\":null}", "trayOpen"},
           {R"({"trayOpen":false,"disc":{"kind":"floppy","capacity":10,"closed":false,"tracks":[]}})", "kind"},
           {R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":-5,"closed":false,"tracks":[]}})", "capacity"},
           {R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":1e12,"closed":false,"tracks":[]}})", "capacity"},
           {head + R"([{"start":-1,"length":300}]}})", "whole numbers"},
           {head + R"([{"start":0,"length":300.5}]}})", "whole numbers"},
           {head + R"([{"start":0,"length":0}]}})", "at least 1"},
           {head + R"([{"start":0,"length":300},{"start":200,"length":300}]}})", "inside the track before it"},
           {head + R"([{"start":11702,"length":300},{"start":0,"length":300}]}})", "inside the track before it"},
           {head + R"([{"start":359800,"length":300}]}})", "past the end"},
           {head + R"("none"}})", "must be a list"}}) {
    const auto r = emulated::parseToc(json);
    ASSERT_FALSE(r) << json;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(r.error().message.find(fragment), std::string::npos) << r.error().message;
  }
  EXPECT_TRUE(emulated::validateWriterName("r\xc3\xa9 corder"));
  for (const std::string& bad : std::vector<std::string>{"/", "..", "tab\there", "new\nline", std::string(300, 'x')}) {
    const auto s = emulated::validateWriterName(bad);
    ASSERT_FALSE(s) << bad;
    EXPECT_EQ(s.error().kind, ErrorKind::InvalidInput);
  }
}

}  // namespace
}  // namespace tessaline
