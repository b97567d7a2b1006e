#pragma once
// The desktop application on emulated writers, with private preferences and folders.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gui/desktop_app.h"
#include "gui/main_window.h"
#include "support/controller_fixture.h"

namespace tessaline::test {

// Records the object names of the widgets that were shown.
class ShowRecorder : public QObject {
 public:
  ShowRecorder();
  ~ShowRecorder() override;
  bool wasShown(const QString& name) const { return shown_.contains(name); }
  bool eventFilter(QObject* watched, QEvent* event) override;
  QStringList shown_;
};

class GuiFixture : public WritersFixture {
 protected:
  GuiFixture() { prefs().setValue(prefs::disableUpdateCheck, true); }
  ~GuiFixture() override;

  // Creates the application and runs its start-up; waits for the status.
  // The last burn's outcome lands in outcome_.
  void start(bool waitForStatus = true);

  gui::DesktopApp& app() { return *app_; }
  gui::TessalineWindow& window() { return app_->window(); }
  appController& controller() override { return app_->controller(); }
  // The message box on screen whose text is the localised text of the key
  // (any box when the key is empty), and a click on its button of that title.
  QMessageBox* findBox(const QString& messageKey = {});
  QMessageBox* waitForBox(const QString& messageKey = {});
  QMessageBox* namedBox(const char* objectName);  // the window's, once on screen
  void clickButton(QMessageBox* box, const QString& title);
  // The title of the box's default button; empty when it has none.
  static std::string defaultTitle(const QMessageBox* box) {
    return box->defaultButton() ? box->defaultButton()->text().toStdString() : std::string();
  }
  ShowRecorder shown_;
  std::unique_ptr<gui::DesktopApp> app_;
  std::optional<BurnOutcome> outcome_;
};

}  // namespace tessaline::test
