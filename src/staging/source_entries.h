#pragma once
// The entries a full copy of the burn list's sources would stage, with their
// kinds, found without copying anything: what a check of the next session's
// names needs before a burn. It follows staging: each source under its last
// path component, a source that is a link to a folder followed; below it,
// with aliases resolved, a link whose target exists stands for that target (a
// folder's contents under the link's name), except one that leads back to a
// folder above it, which stays a link; devices, sockets and FIFOs are left
// out; a side file "._" + name goes beside each file with a fork or Finder
// information when forks are split; the catalogue ".tessaline" at the top.

#include <vector>

#include "common/records.h"
#include "staging/staging_journal.h"

namespace tessaline {

struct SourceEntryOptions {
  bool resolveAliases = true;
  bool splitForks = true;
  bool storeConfiguration = false;
};

// Paths relative to the session's root; bytes are left as they are.
std::vector<StagedEntry> sourceEntriesOf(const std::vector<BurnItem>& items, const SourceEntryOptions& options);

}  // namespace tessaline
