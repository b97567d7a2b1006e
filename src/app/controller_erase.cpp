// Erasing a rewritable disc after the user has confirmed it.

#include "app/app_controller.h"

namespace tessaline {

void appController::attemptErase() {
  showAlert("attempteraseshort", "attempteraselong", {QStringLiteral("Erase"), QStringLiteral("Cancel")},
            [this](int code) { attemptEraseDidEnd(code); });
}

void appController::attemptEraseDidEnd(int returnCode) {
  if (returnCode == kAlertFirstButtonReturn) performErase();
}

void appController::performErase() {
  if (!theDevice_) return;
  auto job = theDevice_->erase();
  if (!job) {
    Q_EMIT eraseFinished(false, QString::fromStdString(job.error().message));
    return;
  }
  eraseJob_ = std::move(job).value();
  connect(eraseJob_.get(), &Job::finished, this, [this] {
    const JobStatus status = eraseJob_->status();
    const bool ok = status.phase == JobPhase::Succeeded;
    const QString message = status.error ? QString::fromStdString(status.error->message) : QString();
    eraseJob_.release()->deleteLater();
    Q_EMIT eraseFinished(ok, message);
  });
  if (outlets_.progressPanels != nullptr)
    outlets_.progressPanels->beginEraseProgress(*eraseJob_, QStringLiteral("Erasing disk..."));
}

}  // namespace tessaline
