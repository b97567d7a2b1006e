#include "support/recording_window.h"

#include <QTimer>

namespace tessaline::test {

WindowParts RecordingWindow::parts() {
  WindowParts p;
  p.mainWindow = this;
  p.alerts = this;
  p.updateProgressIndicator = &spinner;
  p.ImagingPanel = this;
  p.ImagingProgressIndicator = &imagingBar;
  p.cdNameField = this;
  p.writerMenue = &writerMenu;
  p.speedMenue = &speedMenu;
  p.progressPanels = this;
  p.workspace = this;
  p.application = this;
  return p;
}

void RecordingWindow::showAlert(const AlertRequest& request, std::function<void(int)> completion) {
  int answer = kAlertFirstButtonReturn;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  alerts.push_back({request, answer});
  if (holdAlerts) {
    pending_ = std::move(completion);
    return;
  }
  // Like a sheet: the answer comes after the caller has returned.
  QTimer::singleShot(0, [completion = std::move(completion), answer] { completion(answer); });
}

void RecordingWindow::answerPendingAlert(int code) {
  auto completion = std::move(pending_);
  pending_ = nullptr;
  if (completion) completion(code);
}

std::vector<QString> RecordingWindow::alertKeys() const {
  std::vector<QString> keys;
  for (const auto& a : alerts) keys.push_back(a.request.messageKey + QLatin1Char('/') + a.request.informativeKey);
  return keys;
}

}  // namespace tessaline::test
