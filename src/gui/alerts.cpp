#include "gui/alerts.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <memory>

namespace tessaline::gui {

void MessageBoxAlerts::showAlert(const AlertRequest& request, std::function<void(int)> completion) {
  auto* box = new QMessageBox(request.sheet ? window_.data() : nullptr);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName(QStringLiteral("alert"));
  box->setProperty("messageKey", request.messageKey);
  box->setIcon(request.style == AlertStyle::Informational ? QMessageBox::Information : QMessageBox::Warning);
  box->setWindowTitle(QStringLiteral("Tessaline"));
  box->setText(strings_.localized(request.messageKey));
  // A short detail is the cause the user needs to act on: it is shown, not
  // folded away; a tool's long output goes under "Show Details", its first
  // line (which tool failed, and how) still shown.
  const QString detail = request.detail.trimmed();
  const bool shortDetail = detail.size() <= 400 && detail.count(QLatin1Char('\n')) < 6;
  const QString shown = shortDetail ? detail : detail.section(QLatin1Char('\n'), 0, 0);
  QString informative = strings_.localized(request.informativeKey);
  if (!shown.isEmpty()) informative += (informative.isEmpty() ? QString() : QStringLiteral("\n\n")) + shown;
  box->setInformativeText(informative);
  if (!detail.isEmpty() && !shortDetail) box->setDetailedText(detail);

  QStringList keys = request.buttonKeys;
  if (keys.isEmpty()) keys << QStringLiteral("OK");
  QList<QAbstractButton*> buttons;
  for (int i = 0; i < keys.size(); ++i) {
    QString title = strings_.localized(keys[i]);
    if (title.isEmpty()) title = keys[i];
    // Roles only place the buttons; the answer is the button's position.
    auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    if (keys[i] == QLatin1String("Download")) role = QMessageBox::ActionRole;
    buttons << box->addButton(title, role);
  }
  const int defaultIndex = request.defaultButton >= 0 && request.defaultButton < buttons.size() ? request.defaultButton : 0;
  box->setDefaultButton(qobject_cast<QPushButton*>(buttons[defaultIndex]));
  // Escape (or anything that ends the box without a button) answers the
  // harmless choice: Cancel where there is one, else the first button.
  int escapeIndex = 0;
  for (int i = 0; i < keys.size(); ++i)
    if (keys[i] == QLatin1String("Cancel")) escapeIndex = i;
  box->setEscapeButton(buttons[escapeIndex]);

  struct Answer {
    std::function<void(int)> completion;
    bool delivered = false;
    void deliver(int code) {
      if (delivered) return;
      delivered = true;
      // After the box's own handling has finished, as a sheet's end would be.
      QTimer::singleShot(0, [c = std::move(completion), code] {
        if (c) c(code);
      });
    }
  };
  auto answer = std::make_shared<Answer>();
  answer->completion = std::move(completion);
  const int escapeCode = kAlertFirstButtonReturn + escapeIndex;
  QObject::connect(box, &QMessageBox::finished, box, [box, buttons, answer, escapeCode](int) {
    const int index = static_cast<int>(buttons.indexOf(box->clickedButton()));
    answer->deliver(index >= 0 ? kAlertFirstButtonReturn + index : escapeCode);
  });
  QObject::connect(box, &QObject::destroyed, [answer, escapeCode] { answer->deliver(escapeCode); });
  if (request.sheet && window_) {
    box->open();  // window-modal
  } else {
    // Application-modal without a nested loop (open() would make it window-modal).
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
  }
}

}  // namespace tessaline::gui
