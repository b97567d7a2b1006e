#pragma once
// Collection: fills a burn's staging folder with one top-level entry per
// source item of the burn list.

#include "common/records.h"
#include "staging/file_operations.h"
#include "staging/staging_folder.h"
#include "staging/staging_journal.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace tessaline {

// Stages every source item (permanent items and vanished sources are left
// out) and answers the staging folder's path. incrementalUpdateIndicated is
// asked afresh for each item; mountPath is the disc's mount folder.
std::filesystem::path collectFiles(const std::vector<BurnItem>& items, const StagingFolder& folder,
                                   const std::function<bool()>& incrementalUpdateIndicated,
                                   const std::optional<std::filesystem::path>& mountPath, bool aliasFlag,
                                   StagingJournal* journal = nullptr,
                                   kplextensions::ChangeTest changeTest = kplextensions::ChangeTest::SizeAndDate);

}  // namespace tessaline
