#pragma once
// The staging steps of one burn as one plan: everything they need is taken
// on the main thread, so that the steps themselves can run on a worker
// thread without touching the controller.

#include <filesystem>
#include <optional>
#include <vector>

#include "common/records.h"

namespace tessaline {

struct StagingFolder;
class StagingJournal;

struct StagingPlan {
  std::vector<BurnItem> items;
  bool incremental = false;
  std::optional<std::filesystem::path> mountPath;
  bool resolveAliases = true;   // "resolveDisabled" off
  bool splitForks = true;       // "disableSplitForks" off
  bool storeConfiguration = false;
};

// Collection, alias resolution, fork splitting and the catalogue, in that
// order, into the given staging folder.
void runStagingPlan(const StagingPlan& plan, const StagingFolder& folder, StagingJournal* journal);

}  // namespace tessaline
