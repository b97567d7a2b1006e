#pragma once
// The controller's alerts as message boxes: a sheet is a window-modal box on
// the main window, anything else application-modal. Boxes are opened, never
// exec'd; the answer arrives once, after the box has gone.

#include <QPointer>
#include <QWidget>

#include "app/string_table.h"
#include "app/window_parts.h"

namespace tessaline::gui {

class MessageBoxAlerts : public AlertPresenter {
 public:
  MessageBoxAlerts(const StringTable& strings, QWidget* window) : strings_(strings), window_(window) {}
  void showAlert(const AlertRequest& request, std::function<void(int)> completion) override;

 private:
  const StringTable& strings_;
  QPointer<QWidget> window_;
};

}  // namespace tessaline::gui
