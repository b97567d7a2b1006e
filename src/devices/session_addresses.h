#pragma once
// The two block addresses that let the image tool continue a disc: where the
// disc's last session starts and where the next one will begin ("-C").

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

}  // namespace tessaline
