// The disc's catalogue as the controller uses it: writing the stored burn
// configuration into the next session, restoring its sources, and the
// permanent items of a mounted disc, and whether the next session hides the
// disc's earlier ones.

#include "app/app_controller.h"
#include "catalogue/burn_configuration.h"
#include "catalogue/previous_session.h"
#include "common/log.h"
#include "staging/source_paths.h"

namespace tessaline {

void appController::writeSettingsToPath(const std::filesystem::path& folder) {
  (void)tessaline::writeSettingsToPath(folder, sessionContentController_.items());
}

void appController::readSettings() {
  const auto& mountPath = statusController_.content().mountPath;
  if (!mountPath) return;
  // The disc comes from anywhere: only what a user could have added by hand
  // comes back, and the user is told what came back and what did not.
  RestoredSources outcome;
  for (const auto& path : readStoredSources(*mountPath)) {
    if (Status ok = checkRestorableSource(path); !ok) {
      logLine("not restoring the remembered source " + path.native() + ": " + ok.error().message);
      outcome.leftOut.emplace_back(path, ok.error());
      continue;
    }
    if (addAdmittedSource(path, true)) outcome.restored.push_back(path);
  }
  if (!outcome.restored.empty() || !outcome.leftOut.empty()) Q_EMIT sourcesRestored(outcome);
}

void appController::loadCDRcontent() {
  const auto& mountPath = statusController_.content().mountPath;
  if (!mountPath) return;
  const QVariant icon = outlets_.workspace != nullptr ? outlets_.workspace->imageNamed(QStringLiteral("oncd.png"))
                                                      : QVariant();
  for (BurnItem& item : permanentItemsForDisc(*mountPath, icon)) sessionContentController_.addObject(std::move(item));
  loadedDiscMountPath_ = *mountPath;
  updateSizeOfBurnItems();
}

void appController::removeCDRcontent() {
  const auto items = sessionContentController_.items();
  for (int row = static_cast<int>(items.size()) - 1; row >= 0; --row)
    if (items[static_cast<std::size_t>(row)].isPermanent == "1") sessionContentController_.removeObjectAt(row);
  loadedDiscMountPath_.reset();
  updateSizeOfBurnItems();
}

void appController::setHidePreviousSessions(bool hide) {
  if (hidePreviousSessions_ == hide) return;
  hidePreviousSessions_ = hide;
  Q_EMIT hidePreviousSessionsChanged(hide);
  // The sizes depend on whether the next session continues the disc.
  if (!burnInProgress_) updateSizeOfBurnItems();
}

}  // namespace tessaline
