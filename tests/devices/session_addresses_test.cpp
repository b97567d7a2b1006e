// The addresses that continue a disc, and the room left for updates, from
// track lists no burn here produces: sessions of several tracks, 64-bit
// addresses, no track at all.

#include <gtest/gtest.h>

#include "devices/session_addresses.h"

namespace tessaline {
namespace {

TrackRecord track(std::int64_t start, std::int64_t length) { return TrackRecord{BlockAddress{start}, BlockCount{length}}; }

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

}  // namespace
}  // namespace tessaline
