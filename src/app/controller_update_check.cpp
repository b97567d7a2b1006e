// The once-per-launch update check as the controller runs it, its alert,
// and the vendor's web page.

#include "app/app_controller.h"

#include <QPointer>

#include "app/update_check.h"

namespace tessaline {

void appController::performUpdateCheck() {
  if (updateCheck_) return;  // once per launch
  updateCheck_ = std::make_unique<UpdateCheck>(updateEndpoint());
  connect(updateCheck_.get(), &UpdateCheck::updateAvailable, this, [this](int) { showUpdateAlert(); });
  updateCheck_->start();
}

void appController::showUpdateAlert() {
  if (outlets_.alerts == nullptr) return;
  AlertRequest request;
  request.style = AlertStyle::Informational;
  request.messageKey = QStringLiteral("update");
  request.informativeKey = QStringLiteral("updateLong");
  request.buttonKeys = {QStringLiteral("OK"), QStringLiteral("Download")};
  request.sheet = false;
  outlets_.alerts->showAlert(request, [guard = QPointer<appController>(this)](int code) {
    if (guard && code == kAlertSecondButtonReturn) guard->openWebsite();
  });
}

void appController::openWebsite() {
  if (outlets_.workspace != nullptr) outlets_.workspace->openUrl(vendorWebsite());
}

}  // namespace tessaline
