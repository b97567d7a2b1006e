#pragma once
// The two block addresses that let the image tool continue a disc: where the
// disc's last session starts and where the next one will begin ("-C").

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devices/disc_recording_service.h"

namespace tessaline {

// From the medium's track list, whose last entry is the next writable track:
// - one track (a blank disc): {"0"}, no earlier session;
// - n >= 2 tracks: the starts of tracks n-2 and n-1, in decimal;
// - no track at all (no medium, or one that takes nothing more): an empty
//   list. "0" would make the caller build a first-session image and write it
//   where the disc's own data lies.
std::vector<std::string> sessionString(const MediumState& state);

// The session address text: the one element as it is, the first two joined
// by a comma, or the empty text for an empty list. "0" means a first session.
std::string sessionAddressText(const std::vector<std::string>& addresses);

// What an update of this disc usually takes, and how many more such
// updates fit: the median length of its sessions' tracks plus the overhead
// of a later session (lead-out, lead-in and pre-gap: 6,900 blocks). No
// value for a disc without sessions or one that takes no more.
struct UpdateRoom {
  BlockCount usualUpdate;  // overhead included
  std::int64_t updatesLeft = 0;
};
std::optional<UpdateRoom> roomForUpdates(const MediumState& state);
inline constexpr BlockCount kLaterSessionOverhead{6900};
// The first session's lead-in, lead-out and pre-gap are larger.
inline constexpr BlockCount kFirstSessionOverhead{11400};

// What a session of `data` blocks takes of the disc's free space: its track
// (at least 300 blocks, which is 4 seconds, then 2 run-out blocks), which
// must fit, and the overhead around it, which the free space loses as well.
struct SessionSpace {
  BlockCount track;
  BlockCount overhead;
  BlockCount total() const { return track + overhead; }
};
SessionSpace sessionSpace(BlockCount data, bool firstSession);

}  // namespace tessaline
