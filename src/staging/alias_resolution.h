#pragma once
// Alias resolution: replaces every alias (symbolic link whose final target
// exists) in the staged tree by a copy of its target, incremental against the
// disc like the rest of the tree.

#include "staging/file_operations.h"
#include "staging/staging_journal.h"

#include <filesystem>
#include <functional>
#include <optional>

namespace tessaline {

// Runs passes over the staged tree until one replaces nothing. A link whose
// target holds (or is) something already resolved on its own staged path
// would copy itself without end: it stays as the link and is logged.
void resolveAliases(const std::filesystem::path& stagingRoot, const std::optional<std::filesystem::path>& mountPath,
                    const std::function<bool()>& incrementalUpdateIndicated, StagingJournal* journal = nullptr,
                    kplextensions::ChangeTest changeTest = kplextensions::ChangeTest::SizeAndDate);

// Passes after which resolution stops even if the last pass changed something.
inline constexpr int kMaxAliasPasses = 64;

}  // namespace tessaline
