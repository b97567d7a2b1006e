#include "devices/session_addresses.h"

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

}  // namespace tessaline
