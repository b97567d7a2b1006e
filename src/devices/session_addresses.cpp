#include "devices/session_addresses.h"

#include <algorithm>

namespace tessaline {

std::vector<std::string> sessionString(const MediumState& state) {
  const auto& tracks = state.tracks;
  if (tracks.empty()) return {};
  if (tracks.size() == 1) return {"0"};
  const std::size_t n = tracks.size();
  const BlockAddress last = state.lastSessionStart.value_or(tracks[n - 2].start);
  return {std::to_string(last.value), std::to_string(tracks[n - 1].start.value)};
}

std::string sessionAddressText(const std::vector<std::string>& addresses) {
  if (addresses.empty()) return {};
  if (addresses.size() == 1) return addresses.front();
  return addresses[0] + "," + addresses[1];
}

std::optional<UpdateRoom> roomForUpdates(const MediumState& state) {
  if (!state.appendable || state.blank) return std::nullopt;
  std::vector<std::int64_t> lengths;
  for (int i = 0; i < state.writtenTracks(); ++i) lengths.push_back(state.tracks[static_cast<std::size_t>(i)].length.value);
  if (lengths.empty()) return std::nullopt;
  std::sort(lengths.begin(), lengths.end());
  const std::size_t mid = lengths.size() / 2;
  const std::int64_t median = lengths.size() % 2 == 1 ? lengths[mid] : (lengths[mid - 1] + lengths[mid]) / 2;
  UpdateRoom room;
  room.usualUpdate = BlockCount{median} + kLaterSessionOverhead;
  room.updatesLeft = std::max<std::int64_t>(0, state.spaceFree.value / room.usualUpdate.value);
  return room;
}

SessionSpace sessionSpace(BlockCount data, bool firstSession) {
  constexpr BlockCount kMinimumTrack{300};
  constexpr BlockCount kRunOut{2};
  return {std::max(data, kMinimumTrack) + kRunOut, firstSession ? kFirstSessionOverhead : kLaterSessionOverhead};
}

}  // namespace tessaline
