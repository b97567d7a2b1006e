// Staging as the controller runs it: the incremental decision, the staging
// plan, the preview of the next session and the sizes of the burn items.

#include "app/app_controller.h"
#include "catalogue/burn_configuration.h"
#include "staging/file_operations.h"
#include "staging/size_estimation.h"
#include "staging/staging_folder.h"
#include "staging/staging_journal.h"

namespace tessaline {
bool appController::incrementalUpdateIndicated() const {
  if (preferences_.boolForKey(prefs::disableIncrementalUpdating)) return false;
  return continuedDiscTree().has_value();
}

std::optional<std::filesystem::path> appController::continuedDiscTree() const {
  if (hidePreviousSessions_) return std::nullopt;
  return statusController_.content().mountPath;
}

StagingPlan appController::stagingPlan() const {
  StagingPlan plan;
  plan.items = sessionContentController_.items();
  plan.incremental = incrementalUpdateIndicated();
  plan.mountPath = statusController_.content().mountPath;
  plan.resolveAliases = !preferences_.boolForKey(prefs::resolveDisabled);
  plan.splitForks = !preferences_.boolForKey(prefs::disableSplitForks);
  plan.storeConfiguration = preferences_.boolForKey(prefs::storeBurnConfiguration);
  plan.changeTest = compareContents_ || preferences_.boolForKey(prefs::compareContents)
                        ? kplextensions::ChangeTest::Contents
                        : kplextensions::ChangeTest::SizeAndDate;
  return plan;
}

Result<SessionPreview> appController::previewNextSession() {
  auto folder = createStagingFolder();
  if (!folder) return folder.error();
  const StagingPlan plan = stagingPlan();
  StagingJournal journal(folder.value().stagingPath);
  runStagingPlan(plan, folder.value(), &journal);
  SessionPreview preview;
  preview.entries = journal.entries();
  preview.unreadable = journal.unreadable();
  if (preview.unreadable.empty() && plan.incremental && plan.mountPath)
    preview.addsNothing = sessionAddsNothing(preview.entries, folder.value().stagingPath, *plan.mountPath);
  (void)removePrivateFolder(folder.value());
  // A file deleted from the sources stays on the disc whenever the session
  // carries the disc's tree on, whether or not unchanged files are copied again.
  if (const auto discTree = continuedDiscTree()) {
    std::vector<std::filesystem::path> sources;
    for (const BurnItem& item : plan.items)
      if (!item.permanent()) sources.push_back(item.aPath);
    preview.deletedSinceLastSession = entriesDeletedSinceLastSession(sources, *discTree, plan.resolveAliases);
  }
  return preview;
}

double appController::sizeInMBWithPath(const std::filesystem::path& path) {
  if (outlets_.updateProgressIndicator != nullptr) outlets_.updateProgressIndicator->startAnimation();
  const bool resolving = !preferences_.boolForKey(prefs::resolveDisabled);
  const double size = tessaline::sizeInMBWithPath(path, resolving);
  if (outlets_.updateProgressIndicator != nullptr) outlets_.updateProgressIndicator->stopAnimation();
  return size;
}

double appController::incrementalSizeInMBWithPath(const std::filesystem::path& path) {
  const auto mountPath = statusController_.content().mountPath;
  const bool resolving = !preferences_.boolForKey(prefs::resolveDisabled);
  const std::filesystem::path p = resolving ? kplextensions::resolvedPath(path) : path;
  if (!incrementalUpdateIndicated() || !mountPath) return sizeInMBWithPath(p);
  if (outlets_.updateProgressIndicator != nullptr) outlets_.updateProgressIndicator->startAnimation();
  const double size = tessaline::incrementalSizeInMBWithPath(p, *mountPath, resolving);
  if (outlets_.updateProgressIndicator != nullptr) outlets_.updateProgressIndicator->stopAnimation();
  return size;
}

void appController::updateSizeOfBurnItems() {
  const auto snapshot = sessionContentController_.items();
  for (std::size_t row = 0; row < snapshot.size(); ++row) {
    if (snapshot[row].isPermanent != "0") continue;
    sessionContentController_.setSizeInMB(static_cast<int>(row), incrementalSizeInMBWithPath(snapshot[row].aPath));
  }
}

void appController::performUpdateSizeOfBurnItems() { updateSizeOfBurnItems(); }


}  // namespace tessaline
