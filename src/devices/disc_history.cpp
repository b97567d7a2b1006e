#include "devices/disc_history.h"

#include <algorithm>

namespace tessaline {

namespace {

// Two entries are the same when nothing a reader sees has changed: for a
// file its data's place on the disc, size and date; a folder stays the same
// folder however its content changes.
bool sameEntry(const IsoEntry& a, const IsoEntry& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case IsoKind::Folder: return true;
    case IsoKind::Symlink: return a.target == b.target && a.mtime == b.mtime;
    case IsoKind::File: {
      const auto firstOffset = [](const IsoEntry& e) { return e.extents.empty() ? 0 : e.extents.front().offset; };
      return a.size == b.size && a.mtime == b.mtime && firstOffset(a) == firstOffset(b);
    }
  }
  return false;
}

// A path on the disc as its entries are keyed: no leading, trailing or
// doubled slash, no "." (as a shell completes "./Docs/" or "Docs//sub").
std::string trimmedPath(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (part.empty() || part == ".") continue;
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

}  // namespace

void DiscHistory::addSession(BlockAddress start, BlockCount length, std::optional<IsoTree> tree) {
  Session s{start, length, std::move(tree), {}};
  if (s.tree)
    for (std::size_t i = 1; i < s.tree->entries.size(); ++i) s.byPath.emplace(isoEntryPath(*s.tree, i), i);
  sessions_.push_back(std::move(s));
}

int DiscHistory::writtenBy(std::size_t last, const std::string& path) const {
  const IsoEntry& now = sessions_[last].tree->entries[sessions_[last].byPath.at(path)];
  std::size_t first = last;
  while (first > 0) {
    const Session& before = sessions_[first - 1];
    if (!before.tree) break;
    const auto found = before.byPath.find(path);
    if (found == before.byPath.end() || !sameEntry(before.tree->entries[found->second], now)) break;
    --first;
  }
  return static_cast<int>(first) + 1;
}

std::vector<SessionSummary> DiscHistory::sessions() const {
  std::vector<SessionSummary> out;
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    const Session& s = sessions_[i];
    SessionSummary summary;
    summary.number = static_cast<int>(i) + 1;
    summary.start = s.start;
    summary.length = s.length;
    summary.iso9660 = s.tree.has_value();
    if (s.tree) {
      summary.volumeId = s.tree->volumeId;
      summary.created = s.tree->created;
      const Session* before = i > 0 && sessions_[i - 1].tree ? &sessions_[i - 1] : nullptr;
      for (const auto& [path, index] : s.byPath) {
        const auto found = before != nullptr ? before->byPath.find(path) : s.byPath.end();
        if (before == nullptr || found == before->byPath.end())
          ++summary.added;
        else if (!sameEntry(before->tree->entries[found->second], s.tree->entries[index]))
          ++summary.replaced;
      }
      if (before)
        for (const auto& [path, index] : before->byPath)
          if (!s.byPath.contains(path)) ++summary.hidden;
    }
    out.push_back(std::move(summary));
  }
  return out;
}

Result<std::vector<DiscListingEntry>> DiscHistory::list(std::string_view path) const {
  auto last = std::find_if(sessions_.rbegin(), sessions_.rend(), [](const Session& s) { return s.tree.has_value(); });
  if (last == sessions_.rend()) return makeError(ErrorKind::NotFound, "the disc has no session this program can read");
  const std::size_t lastIndex = static_cast<std::size_t>(sessions_.rend() - last) - 1;
  const IsoTree& tree = *last->tree;
  const std::string wanted = trimmedPath(path);

  std::size_t folder = 0;
  if (!wanted.empty()) {
    const auto found = last->byPath.find(wanted);
    if (found == last->byPath.end())
      return makeError(ErrorKind::NotFound, "the disc has no " + wanted);
    folder = found->second;
  }
  auto describe = [&](std::size_t index) {
    const IsoEntry& e = tree.entries[index];
    DiscListingEntry out;
    out.name = e.name;
    out.kind = e.kind;
    out.size = e.kind == IsoKind::File ? e.size : 0;
    out.mtime = e.mtime;
    out.target = e.target;
    out.session = writtenBy(lastIndex, isoEntryPath(tree, index));
    return out;
  };
  std::vector<DiscListingEntry> out;
  if (tree.entries[folder].kind != IsoKind::Folder) {
    out.push_back(describe(folder));
    return out;
  }
  for (std::size_t i = 1; i < tree.entries.size(); ++i)
    if (tree.entries[i].parent == folder) out.push_back(describe(i));
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return out;
}

Result<DiscHistory> readDiscHistory(const std::filesystem::path& device, const std::vector<TrackRecord>& sessions) {
  auto medium = MediumFile::open(device);
  if (!medium) return medium.error();
  DiscHistory history;
  for (const TrackRecord& track : sessions) {
    auto tree = readIsoTree(medium.value().reader(), medium.value().bytes(), track.start);
    history.addSession(track.start, track.length, tree ? std::optional<IsoTree>(std::move(tree.value())) : std::nullopt);
  }
  return history;
}

}  // namespace tessaline
