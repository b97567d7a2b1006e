#pragma once
// A disc's sessions and what each one wrote, read from the medium itself
// (any ISO 9660 multisession disc, not only ours): which session a file on
// the disc comes from, and what each session added, replaced or hid.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "common/units.h"
#include "devices/disc_recording_service.h"
#include "devices/iso_tree.h"

namespace tessaline {

struct SessionSummary {
  int number = 0;  // 1 for the first session
  BlockAddress start;
  BlockCount length;
  bool iso9660 = false;      // false: a track this program cannot read (audio, another format)
  std::string volumeId;      // bytes
  std::int64_t created = 0;  // seconds since the epoch, 0 when unknown
  std::size_t added = 0;     // entries whose path the previous session did not have
  std::size_t replaced = 0;  // files and links the session wrote anew
  std::size_t hidden = 0;    // paths of the previous session it no longer shows
};

struct DiscListingEntry {
  std::string name;  // bytes
  IsoKind kind = IsoKind::File;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::string target;  // a link's
  int session = 0;     // the session that wrote it, as it is now
};

class DiscHistory {
 public:
  // One tree per session, in order; a session that is not ISO 9660 has none.
  void addSession(BlockAddress start, BlockCount length, std::optional<IsoTree> tree);

  std::vector<SessionSummary> sessions() const;
  // What the last readable session shows at `path` ("" or "/" for the top),
  // sorted by name: a folder's content, or the one entry a file path names.
  Result<std::vector<DiscListingEntry>> list(std::string_view path) const;

 private:
  struct Session {
    BlockAddress start;
    BlockCount length;
    std::optional<IsoTree> tree;
    std::unordered_map<std::string, std::size_t> byPath;  // path -> entry index
  };
  // The first session of the unbroken run, ending at `last`, in which `path`
  // is the same entry it is in session `last`.
  int writtenBy(std::size_t last, const std::string& path) const;

  std::vector<Session> sessions_;
};

// Reads every session of the medium at `device` (a disc image or a block
// device) whose tracks are given; each track is taken as one session.
Result<DiscHistory> readDiscHistory(const std::filesystem::path& device, const std::vector<TrackRecord>& sessions);

}  // namespace tessaline
