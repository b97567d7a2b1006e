#pragma once
// The main window: the burn list, the writer and speed menus, the disc's
// status, the volume name and the Burn and Erase controls. It is the
// controller's window: every action calls the controller, and the parts the
// controller asks for (alerts, sheets, menus, the field) are widgets here.

#include <QMainWindow>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableView>

#include <memory>
#include <optional>

#include "app/app_controller.h"
#include "gui/alerts.h"
#include "gui/desktop_workspace.h"
#include "gui/progress_panels.h"
#include "gui/widget_parts.h"

class QAction;
class QMessageBox;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;

namespace tessaline {
class UpdateCheck;
}

namespace tessaline::gui {

class PreferencesPanel;

// The text colour of a burn-list row: what "PermanentToColourTransformer"
// made of its "isPermanent" (an invalid colour when there is none).
QColor rowTextColour(const QModelIndex& index);

class BurnListDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// The table asks the controller before a row becomes selected.
class BurnTableView : public QTableView {
  Q_OBJECT
 public:
  using QTableView::QTableView;
  void setShouldSelectRow(std::function<bool(int)> test) { shouldSelectRow_ = std::move(test); }

 protected:
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override;

 private:
  std::function<bool(int)> shouldSelectRow_;
};

// "IsGTZero" as the window's controls use it: true when the registered
// transformer turns the value into 1.
bool isGTZero(const appController& controller, const QVariant& value);

// The emulated writer's name: the last component of "/emulated/NAME".
std::string emulatedWriterName(const std::string& ioRegistryEntryPath);

class TessalineWindow : public QMainWindow, public MainWindow {
  Q_OBJECT
 public:
  TessalineWindow(appController& controller, ApplicationControl& application, QWidget* parent = nullptr);
  ~TessalineWindow() override;

  // The outlets for the controller.
  WindowParts parts();

  // MainWindow
  void setBackgroundPattern(const QString& imageName) override;
  void center() override;
  void centerPreferencePanel() override;
  void registerForDraggedFileNames() override;
  void beep() override;
  void deselectAllRows() override;
  void beginOpenPanel(const QString& prompt,
                      std::function<void(int returnCode, std::vector<std::filesystem::path>)> completion) override;

  // Saves the window's geometry under "NSWindow Frame mainWindow".
  void saveFrame();
  // Closes without asking, even during a burn (after the user has agreed).
  void closeWithoutAsking();

  // For tests and the benchmarks.
  BurnTableView* tableView() const { return tableView_; }
  QComboBox* writerCombo() const { return writerCombo_; }
  QComboBox* speedCombo() const { return speedCombo_; }
  QLineEdit* nameEdit() const { return nameEdit_; }
  QCheckBox* hidePreviousCheck() const { return hideCheck_; }
  QPushButton* burnButton() const { return burnButton_; }
  QPushButton* eraseButton() const { return eraseButton_; }
  QPushButton* mountButton() const { return mountButton_; }
  QPushButton* addButton() const { return addButton_; }
  QPushButton* removeButton() const { return removeButton_; }
  QLabel* totalLabel() const { return totalLabel_; }
  QLabel* statusLabel() const { return statusText_; }
  QLabel* titleLabel() const { return statusTitle_; }
  CapacityBar* capacityBar() const { return capacityBar_; }
  QLabel* spaceLabel() const { return spaceText_; }
  PreferencesPanel* preferencePanel() const { return preferencePanel_; }
  QMenu* writerMenu() const { return writerMenu_; }
  ImagingSheet& imagingSheet() { return imaging_; }
  DialogProgressPanels& progressPanels() { return panels_; }
  NameFieldAdapter& nameField() { return nameField_; }
  BusySpinner* spinner() const { return spinner_; }
  QAction* action(const char* name) const;

  void showPreferences();
  void checkForUpdates();
  void showAbout();
  void showHowUpdatingWorks();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void buildWidgets();
  void buildMenus();
  void connectController();
  void connectSheets();
  void askBeforeStopping(JobProgressDialog* panel);
  void refreshStatus();
  void refreshControls();
  void refreshWriterMenu();
  void refreshSpeedMenu();
  void refreshNextSession();
  void showNote(const char* name, const QString& text, const QString& detail);
  void writerChosen();
  void insertBlank(MediumKind kind);
  void ejectDisc();
  void refreshShelfMenus();
  void insertShelved(const std::string& disc);
  void deleteShelved(const std::string& disc);
  void showError(const QString& text, const QString& detail = {});
  void askBeforeQuittingDuringWork();

  appController& controller_;
  ApplicationControl& application_;

  BurnTableView* tableView_ = nullptr;
  BurnListDelegate* delegate_ = nullptr;
  QComboBox* writerCombo_ = nullptr;
  QComboBox* speedCombo_ = nullptr;
  QLineEdit* nameEdit_ = nullptr;
  QCheckBox* hideCheck_ = nullptr;
  BusySpinner* spinner_ = nullptr;
  QLabel* statusTitle_ = nullptr;
  QLabel* statusText_ = nullptr;
  QLabel* spaceText_ = nullptr;
  CapacityBar* capacityBar_ = nullptr;
  QLabel* totalLabel_ = nullptr;
  QPushButton* addButton_ = nullptr;
  QPushButton* removeButton_ = nullptr;
  QPushButton* burnButton_ = nullptr;
  QPushButton* eraseButton_ = nullptr;
  QPushButton* mountButton_ = nullptr;
  QString spaceUsage_;  // the space line's first part: used, free, updates left
  std::optional<QString> offeredName_;  // what the name field shows because the program offered it
  QMenu* writerMenu_ = nullptr;
  QMenu* shelfMenu_ = nullptr;
  QMenu* deleteShelfMenu_ = nullptr;
  PreferencesPanel* preferencePanel_ = nullptr;

  ComboPopUpMenu writerMenue_;
  ComboPopUpMenu speedMenue_;
  NameFieldAdapter nameField_;
  MessageBoxAlerts alerts_;
  ImagingSheet imaging_;
  DialogProgressPanels panels_;
  DesktopWorkspace workspace_;
  std::unique_ptr<UpdateCheck> manualUpdateCheck_;
  bool closeAgreed_ = false;
  bool quitQuestionUp_ = false;
  QPointer<QMessageBox> stopQuestion_;
};

}  // namespace tessaline::gui
