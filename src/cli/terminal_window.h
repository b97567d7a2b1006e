#pragma once
// The command line's window: alerts printed on standard error (questions
// asked on the terminal, or answered by --yes), progress as bars on a
// terminal and as plain lines otherwise.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
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
  TerminalWindow(const StringTable& strings, bool assumeYes, bool quiet = false, QObject* parent = nullptr);
  ~TerminalWindow() override;

  WindowParts parts();

  // The volume name for the next burn; the command line's --volume.
  void setVolumeName(const QString& name) { volumeName_ = name; }
  // The size of what a burn writes, asked when its writing begins.
  void setJobBytes(std::function<std::uint64_t()> bytes) { jobBytes_ = std::move(bytes); }
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
  void watchJob(Job& job, const QString& description, bool erase);

  const StringTable& strings_;
  bool assumeYes_;
  bool quiet_;
  std::function<std::uint64_t()> jobBytes_;
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

// One progress line on standard error. On a terminal it is redrawn in place
// and fits the terminal's width: the step, its percentage, a bar, and with a
// known size the megabytes done of the total, the speed (in x and MB/s) and
// the time left. Elsewhere it is one plain line per tenth of a step.
class TerminalWindow::Bar : public ProgressIndicator {
 public:
  explicit Bar(QString label, bool quiet = false);
  void setUsesThreadedAnimation(bool) override {}
  void setIndeterminate(bool) override {}  // a step without a measure draws as "..."
  void setDoubleValue(double percent) override;
  void startAnimation() override {}
  void stopAnimation() override {}
  // The size of what the step goes through, in bytes (0: unknown).
  void setTotalBytes(std::uint64_t bytes) { totalBytes_ = bytes; }
  // Draws the step (a new label begins a new step); a negative percentage
  // is a step without a measure yet.
  void draw(const QString& label, double percent);
  // Ends the line: at 100% when the step succeeded, else saying where it stopped.
  void finish(bool succeeded = true);
  // Ends the line as it stands: for a step whose measure is an estimate.
  void close();

 private:
  QString detail(double percent) const;

  QString label_;
  bool quiet_;
  bool drawn_ = false;  // a line of this step is on the screen
  int lastShown_ = -1;  // the last percentage or tenth shown
  double percent_ = -1;
  std::uint64_t totalBytes_ = 0;
  std::chrono::steady_clock::time_point started_;
  double startPercent_ = 0;  // the step's first draw may come after it began
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
