#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "devices/session_addresses.h"

namespace tessaline {
namespace {

using Strings = std::vector<std::string>;

MediumState withTracks(std::vector<TrackRecord> tracks) {
  MediumState state;
  state.present = true;
  state.kind = MediumKind::CDR;
  state.appendable = true;
  state.tracks = std::move(tracks);
  return state;
}

TrackRecord track(std::int64_t start, std::int64_t length) { return TrackRecord{BlockAddress{start}, BlockCount{length}}; }

TEST(SessionAddresses, ABlankDiscHasNoEarlierSession) {
  MediumState blank = withTracks({track(0, 359'847)});
  blank.blank = true;
  EXPECT_EQ(sessionString(blank), Strings{"0"});
  EXPECT_EQ(sessionAddressText(sessionString(blank)), "0");
}

TEST(SessionAddresses, OneSessionGivesItsStartAndTheNextWritableAddress) {
  // One session of N blocks at 0 on the emulated recorder: at least 300
  // blocks written, 2 run-out blocks, then 11,400 blocks to the next session.
  for (std::int64_t n : {10, 300, 4711}) {
    const std::int64_t next = std::max<std::int64_t>(n, 300) + 2 + 11'400;
    const MediumState state = withTracks({track(0, n), track(next, 359'847 - next)});
    EXPECT_EQ(sessionString(state), (Strings{"0", std::to_string(next)}));
    EXPECT_EQ(sessionAddressText(sessionString(state)), "0," + std::to_string(next));
    EXPECT_NE(sessionAddressText(sessionString(state)), "0");
  }
}

TEST(SessionAddresses, OnlyTheLastTwoTracksCount) {
  const MediumState state =
      withTracks({track(0, 500), track(11'902, 300), track(19'104, 1'000), track(27'006, 300'000)});
  EXPECT_EQ(sessionString(state), (Strings{"19104", "27006"}));
  EXPECT_EQ(sessionAddressText(sessionString(state)), "19104,27006");
}

TEST(SessionAddresses, AddressesAreWrittenInFullDecimal) {
  const MediumState state = withTracks({track(4'294'967'296, 1), track(4'294'979'000, 1)});
  EXPECT_EQ(sessionAddressText(sessionString(state)), "4294967296,4294979000");
}

TEST(SessionAddresses, NoTrackGivesNoAddressesRatherThanAFirstSession) {
  MediumState none;
  EXPECT_TRUE(sessionString(none).empty());
  EXPECT_EQ(sessionAddressText(sessionString(none)), "");
  EXPECT_EQ(sessionAddressText({}), "");
  EXPECT_EQ(sessionAddressText({"7", "8", "9"}), "7,8");
}

TEST(SessionString, ASessionOfSeveralTracksStartsWhereTheWriterSaysItDoes) {
  MediumState state;
  // Another program wrote a session of two tracks at 0 and 5,000.
  state.tracks = {{BlockAddress{0}, BlockCount{4000}}, {BlockAddress{5000}, BlockCount{3000}},
                  {BlockAddress{19402}, BlockCount{300000}}};
  EXPECT_EQ(sessionAddressText(sessionString(state)), "5000,19402");
  state.lastSessionStart = BlockAddress{0};
  EXPECT_EQ(sessionAddressText(sessionString(state)), "0,19402");
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
