#pragma once
// What the controller asks of the window, as small interfaces that each front
// end implements: the desktop application with widgets, the command line
// with the terminal, tests with recording fakes. A question to the user is a
// request plus a completion callback; nothing here runs a nested event loop.

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "common/progress_indicator.h"

namespace tessaline {

class Job;
class CDNameFormatter;

enum class AlertStyle { Warning = 0, Informational = 1 };

// Return codes of an alert: the first button answers 1000, the second 1001.
inline constexpr int kAlertFirstButtonReturn = 1000;
inline constexpr int kAlertSecondButtonReturn = 1001;

struct AlertRequest {
  AlertStyle style = AlertStyle::Warning;
  QString messageKey;      // localisation keys
  QString informativeKey;
  QStringList buttonKeys;  // in order
  int defaultButton = 0;   // the index of the button Return presses
  QString detail;          // optional extra text (not localised), e.g. a tool's last lines
  bool sheet = true;       // a sheet on the main window; false: application-modal
};

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Shows the alert; the completion receives 1000, 1001, ... later, on the
  // main thread. Whatever ends the alert calls the completion once.
  virtual void showAlert(const AlertRequest& request, std::function<void(int)> completion) = 0;
};

// A sheet on the main window (the imaging sheet).
class Sheet {
 public:
  virtual ~Sheet() = default;
  virtual void beginSheet() = 0;
  virtual void endSheet() = 0;  // ends and orders it out
};

class PopUpMenu {
 public:
  virtual ~PopUpMenu() = default;
  virtual void removeAllItems() = 0;
  virtual void addItem(const QString& title) = 0;
  virtual void selectItemAtIndex(int index) = 0;
  virtual int indexOfSelectedItem() const = 0;  // -1: none
  virtual int selectedTag() const = 0;          // the speed menu's tags
};

class TextField {
 public:
  virtual ~TextField() = default;
  virtual QString stringValue() const = 0;  // the formatter's object value
  virtual void setFormatter(std::shared_ptr<CDNameFormatter> formatter) = 0;
};

// The main window's own parts.
class MainWindow {
 public:
  virtual ~MainWindow() = default;
  virtual void setBackgroundPattern(const QString& imageName) = 0;
  virtual void center() = 0;
  virtual void centerPreferencePanel() = 0;
  virtual void registerForDraggedFileNames() = 0;
  virtual void beep() = 0;
  virtual void deselectAllRows() = 0;
  // The open panel as a sheet; returnCode 1 is OK.
  virtual void beginOpenPanel(const QString& prompt,
                              std::function<void(int returnCode, std::vector<std::filesystem::path>)> completion) = 0;
};

class ProgressPanels {
 public:
  virtual ~ProgressPanels() = default;
  // Shows the service's progress while the job runs; the job's finished()
  // signal tells the controller the end, not the panel.
  virtual void beginBurnProgress(Job& job, const QString& description) = 0;
  virtual void beginEraseProgress(Job& job, const QString& description) = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual QVariant iconForFile(const std::filesystem::path& path) = 0;
  virtual QVariant imageNamed(const QString& name) = 0;
  virtual void openUrl(const QUrl& url) = 0;
};

class ApplicationControl {
 public:
  virtual ~ApplicationControl() = default;
  virtual void terminate() = 0;
};

// The outlets. The controller does not own them; any may be null (a front
// end without that part), and the controller then leaves that step out.
struct WindowParts {
  MainWindow* mainWindow = nullptr;
  AlertPresenter* alerts = nullptr;
  ProgressIndicator* updateProgressIndicator = nullptr;
  Sheet* ImagingPanel = nullptr;
  ProgressIndicator* ImagingProgressIndicator = nullptr;
  TextField* cdNameField = nullptr;
  PopUpMenu* writerMenue = nullptr;
  PopUpMenu* speedMenue = nullptr;
  ProgressPanels* progressPanels = nullptr;
  Workspace* workspace = nullptr;
  ApplicationControl* application = nullptr;
};

}  // namespace tessaline
