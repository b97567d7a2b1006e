#include "app/staging_plan.h"

#include "catalogue/burn_configuration.h"
#include "staging/alias_resolution.h"
#include "staging/collect.h"
#include "staging/fork_splitting.h"
#include "staging/staging_folder.h"
#include "staging/staging_journal.h"

namespace tessaline {

void runStagingPlan(const StagingPlan& plan, const StagingFolder& folder, StagingJournal* journal) {
  const auto incremental = [&plan] { return plan.incremental; };
  tessaline::collectFiles(plan.items, folder, incremental, plan.mountPath, plan.resolveAliases, journal);
  const auto& root = folder.stagingPath;
  if (plan.resolveAliases) tessaline::resolveAliases(root, plan.mountPath, incremental, journal);
  if (plan.splitForks) tessaline::splitForksAtPath(root, journal);
  if (plan.storeConfiguration && tessaline::writeSettingsToPath(root, plan.items) && journal != nullptr) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(root / ".tessaline", ec);
    journal->record(root / ".tessaline", StagedType::File, ec ? 0 : size, StagingReason::Catalogue);
  }
}

}  // namespace tessaline
