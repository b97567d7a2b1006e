#pragma once
// The mounted disc against its sources, by the mapping a burn uses: each
// source stands at the top of the disc under its last name, a link stands
// as its final target's content (unless links are burned as links), a
// file's resource fork and Finder information stand in the side file
// "._" + name beside it, and the stored configuration is not content.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tessaline {

enum class DiscEntryState {
  Same,          // the disc holds what the source holds
  Differs,       // the contents differ (full), or the size or date does (quick)
  Pending,       // newer on the source: the next update writes it
  OnlyOnDisc,    // gone from the source since it was burned (the disc keeps it)
  OnlyInSource,  // never burned
};

const char* discEntryStateName(DiscEntryState state);

struct DiscEntry {
  std::string path;  // on the disc, relative to its root (bytes)
  DiscEntryState state = DiscEntryState::Same;
  std::string detail;  // what differs, for a person
};

struct DiscComparisonOptions {
  bool quick = false;           // sizes and dates only; nothing is read
  bool resolveAliases = true;   // "resolveDisabled" off: a link stands as its target
  bool splitForks = true;       // "disableSplitForks" off: side files are expected
  // Only entries that are not Same are reported when false.
  bool reportSame = false;
  const std::atomic<bool>* cancel = nullptr;
  // Bytes read from the sources so far, and how many there are to read.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct DiscComparison {
  std::vector<DiscEntry> entries;  // in walk order
  std::uint64_t filesCompared = 0;
  std::uint64_t bytesCompared = 0;
  bool cancelled = false;
  // Nothing differs and nothing waits for an update (entries deleted from
  // the source are kept by the disc on purpose and do not count).
  bool matches() const;
  std::size_t count(DiscEntryState state) const;
};

DiscComparison compareDiscWithSources(const std::vector<std::filesystem::path>& sources,
                                      const std::filesystem::path& mountPath, const DiscComparisonOptions& options);

// What the disc still holds under each source whose source entry is gone
// (the topmost entry of each gone subtree), for the preview of the next
// session: sessions only add, so the disc keeps them.
std::vector<std::string> entriesDeletedSinceLastSession(const std::vector<std::filesystem::path>& sources,
                                                        const std::filesystem::path& mountPath, bool resolveAliases);

}  // namespace tessaline
