#pragma once
// A window for tests: implements every window part, records what the
// controller asked of it, and answers alerts from a queue.

#include <QStringList>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/window_parts.h"

namespace tessaline::test {

// Progress nobody looks at in these tests.
class SilentBar : public ProgressIndicator {
 public:
  void setUsesThreadedAnimation(bool) override {}
  void setIndeterminate(bool) override {}
  void setDoubleValue(double) override {}
  void startAnimation() override {}
  void stopAnimation() override {}
};

class RecordingMenu : public PopUpMenu {
 public:
  void removeAllItems() override { items.clear(); selected = -1; }
  void addItem(const QString& title) override { items << title; }
  void selectItemAtIndex(int index) override { selected = index; }
  int indexOfSelectedItem() const override { return selected; }
  int selectedTag() const override { return tag; }

  QStringList items;
  int selected = -1;
  int tag = 0;
};

class RecordingWindow : public AlertPresenter,
                        public MainWindow,
                        public Sheet,
                        public TextField,
                        public ProgressPanels,
                        public Workspace,
                        public ApplicationControl {
 public:
  struct ShownAlert {
    AlertRequest request;
    int answer = 0;
  };

  WindowParts parts();

  // Answers for the next alerts, in order; without one an alert is answered
  // with its first button.
  std::deque<int> answers;
  // When set, alerts are not answered until answerPendingAlert().
  bool holdAlerts = false;
  void answerPendingAlert(int code);

  std::vector<ShownAlert> alerts;
  int beeps = 0;
  int sheetsBegun = 0;
  int sheetsEnded = 0;
  bool terminated = false;
  QString volumeName = QStringLiteral(" ");
  std::vector<QString> burnPanels;
  SilentBar spinner;
  SilentBar imagingBar;
  RecordingMenu writerMenu;
  RecordingMenu speedMenu;

  void showAlert(const AlertRequest& request, std::function<void(int)> completion) override;
  void setBackgroundPattern(const QString&) override {}
  void center() override {}
  void centerPreferencePanel() override {}
  void registerForDraggedFileNames() override {}
  void beep() override { ++beeps; }
  void deselectAllRows() override {}
  void beginOpenPanel(const QString&, std::function<void(int, std::vector<std::filesystem::path>)> completion) override {
    completion(0, {});
  }
  void beginSheet() override { ++sheetsBegun; }
  void endSheet() override { ++sheetsEnded; }
  QString stringValue() const override { return volumeName; }
  void setFormatter(std::shared_ptr<CDNameFormatter>) override {}
  void beginBurnProgress(Job&, const QString& description) override { burnPanels.push_back(description); }
  void beginEraseProgress(Job&, const QString&) override {}
  QVariant iconForFile(const std::filesystem::path&) override { return QStringLiteral("file-icon"); }
  QVariant imageNamed(const QString& name) override { return name; }
  void openUrl(const QUrl&) override {}
  void terminate() override { terminated = true; }

  std::vector<QString> alertKeys() const;  // "message/informative" of each alert

 private:
  std::function<void(int)> pending_;
};

}  // namespace tessaline::test
