// Erasing a rewritable disc after the user has confirmed it.

#include "app/app_controller.h"

#include <QPointer>

namespace tessaline {

void appController::attemptErase() {
  // The question names the disc and the writer, so the user erases what
  // they mean to; Cancel is what Return answers.
  const MediumSummary medium = mediumSummary();
  QString detail;
  if (theDevice_ && medium.present) {
    const QString kind = strings_.localized(medium.kind == MediumKind::CDRW ? "MediaCDRW"
                                            : medium.kind == MediumKind::CDR ? "MediaCDR"
                                                                             : "MediaCDROM");
    const auto volume = medium.volumeName ? medium.volumeName->trimmed() : QString();
    const QString disc = volume.isEmpty() ? kind : QStringLiteral("\u201c%1\u201d (%2)").arg(volume, kind);
    detail = strings_.localized("eraseWhich").arg(disc, QStringLiteral("\u201c%1\u201d").arg(theDevice_->displayName()));
  }
  if (outlets_.alerts == nullptr) return attemptEraseDidEnd(kAlertFirstButtonReturn);
  AlertRequest request;
  request.messageKey = QStringLiteral("attempteraseshort");
  request.informativeKey = QStringLiteral("attempteraselong");
  request.buttonKeys = {QStringLiteral("Erase"), QStringLiteral("Cancel")};
  request.defaultButton = 1;
  request.detail = detail;
  outlets_.alerts->showAlert(request, [guard = QPointer<appController>(this)](int code) {
    if (guard) guard->attemptEraseDidEnd(code);
  });
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
