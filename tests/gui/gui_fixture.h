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

#include "gui/desktop_app.h"
#include "gui/main_window.h"
#include "support/test_support.h"

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

class GuiFixture : public ::testing::Test {
 protected:
  GuiFixture();
  ~GuiFixture() override;

  void addWriter(const std::string& name, const QString& displayName = QStringLiteral("Emulated CD Recorder"));
  void insert(const std::string& writer, const std::string& medium, const std::vector<fs::path>& sessions = {});
  fs::path makeImage(const fs::path& folder, const std::string& volume = "DISC");
  // Creates the application and runs its start-up; waits for the status.
  // The last burn's outcome lands in outcome_.
  void start(bool waitForStatus = true);
  bool settle();

  gui::DesktopApp& app() { return *app_; }
  gui::TessalineWindow& window() { return app_->window(); }
  appController& controller() { return app_->controller(); }
  Preferences prefs() { return Preferences(QString::fromStdString(prefsFile_.string())); }
  std::vector<std::string> listNames();
  // The message box on screen whose text is the localised text of the key
  // (any box when the key is empty), and a click on its button of that title.
  QMessageBox* findBox(const QString& messageKey = {});
  QMessageBox* waitForBox(const QString& messageKey = {});
  void clickButton(QMessageBox* box, const QString& title);
  ShowRecorder shown_;
  TempDir temp_;
  fs::path writersDir_;
  fs::path prefsFile_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::unique_ptr<gui::DesktopApp> app_;
  int settledCount_ = 0;
  std::optional<BurnOutcome> outcome_;
};

}  // namespace tessaline::test
