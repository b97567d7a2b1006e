#pragma once
// The command line's window: alerts printed on standard error (questions
// asked on the terminal, or answered by --yes), progress as bars on a
// terminal and as plain lines otherwise.

#include <QObject>
#include <QTimer>

#include <memory>

#include "app/string_table.h"
#include "app/window_parts.h"

namespace tessaline::cli {

class TerminalWindow : public QObject,
                       public AlertPresenter,
                       public MainWindow,
                       public Sheet,
                       public TextField,
                       public ProgressPanels,
                       public Workspace,
                       public ApplicationControl {
  Q_OBJECT
 public:
  TerminalWindow(const StringTable& strings, bool assumeYes, QObject* parent = nullptr);
  ~TerminalWindow() override;

  WindowParts parts();

  // The volume name for the next burn; the command line's --volume.
  void setVolumeName(const QString& name) { volumeName_ = name; }
  // Every alert that only informs (one button) counts as a refusal.
  bool refusalShown() const { return refusalShown_; }
  // A question was answered with its second button (Cancel).
  bool questionDeclined() const { return questionDeclined_; }
  bool terminated() const { return terminated_; }
  class Menu;
  Menu& writerMenu() { return *writerMenu_; }
  Menu& speedMenu() { return *speedMenu_; }

  // AlertPresenter
  void showAlert(const AlertRequest& request, std::function<void(int)> completion) override;
  // MainWindow
  void setBackgroundPattern(const QString&) override {}
  void center() override {}
  void centerPreferencePanel() override {}
  void registerForDraggedFileNames() override {}
  void beep() override;
  void deselectAllRows() override {}
  void beginOpenPanel(const QString&, std::function<void(int, std::vector<std::filesystem::path>)> completion) override {
    completion(0, {});
  }
  // Sheet (the imaging sheet)
  void beginSheet() override;
  void endSheet() override;
  // TextField
  QString stringValue() const override { return volumeName_; }
  void setFormatter(std::shared_ptr<CDNameFormatter>) override {}
  // ProgressPanels
  void beginBurnProgress(Job& job, const QString& description) override;
  void beginEraseProgress(Job& job, const QString& description) override;
  // Workspace
  QVariant iconForFile(const std::filesystem::path&) override { return {}; }
  QVariant imageNamed(const QString&) override { return {}; }
  void openUrl(const QUrl&) override {}
  // ApplicationControl
  void terminate() override { terminated_ = true; }

  class Bar;

 private:
  void watchJob(Job& job, const QString& description);

  const StringTable& strings_;
  bool assumeYes_;
  bool refusalShown_ = false;
  bool questionDeclined_ = false;
  bool terminated_ = false;
  QString volumeName_;
  std::unique_ptr<Bar> imagingBar_;
  std::unique_ptr<Bar> spinner_;
  std::unique_ptr<Menu> writerMenu_;
  std::unique_ptr<Menu> speedMenu_;
  QTimer jobTimer_;
};

// Draws one progress bar on standard error.
class TerminalWindow::Bar : public ProgressIndicator {
 public:
  explicit Bar(QString label, bool quiet = false);
  void setUsesThreadedAnimation(bool) override {}
  void setIndeterminate(bool on) override { indeterminate_ = on; }
  void setDoubleValue(double percent) override;
  void startAnimation() override {}
  void stopAnimation() override {}
  void finish();
  void draw(const QString& label, double percent);

 private:
  QString label_;
  bool quiet_;
  bool indeterminate_ = true;
  int lastShown_ = -1;
  bool onTerminal_;
};

class TerminalWindow::Menu : public PopUpMenu {
 public:
  void removeAllItems() override { items_.clear(); selected_ = -1; }
  void addItem(const QString& title) override { items_ << title; }
  void selectItemAtIndex(int index) override { selected_ = index; }
  int indexOfSelectedItem() const override { return selected_; }
  int selectedTag() const override { return tag_; }
  void setSelectedTag(int tag) { tag_ = tag; }
  const QStringList& items() const { return items_; }

 private:
  QStringList items_;
  int selected_ = -1;
  int tag_ = 0;
};

}  // namespace tessaline::cli
