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

class RecordingBar : public ProgressIndicator {
 public:
  void setUsesThreadedAnimation(bool on) override { threaded = on; }
  void setIndeterminate(bool on) override { indeterminate = on; }
  void setDoubleValue(double percent) override { values.push_back(percent); }
  void startAnimation() override { ++starts; animating = true; }
  void stopAnimation() override { ++stops; animating = false; }

  bool threaded = false;
  bool indeterminate = false;
  bool animating = false;
  int starts = 0;
  int stops = 0;
  std::vector<double> values;
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
  bool centered = false;
  bool preferencePanelCentered = false;
  bool dropsRegistered = false;
  bool terminated = false;
  int deselections = 0;
  QString background;
  QString volumeName = QStringLiteral(" ");
  bool formatterSet = false;
  std::vector<QString> burnPanels;
  std::vector<QString> erasePanels;
  std::vector<QUrl> openedUrls;
  std::vector<std::filesystem::path> openPanelAnswer;
  int openPanelReturnCode = 1;
  QString openPanelPrompt;
  RecordingBar spinner;
  RecordingBar imagingBar;
  RecordingMenu writerMenu;
  RecordingMenu speedMenu;

  void showAlert(const AlertRequest& request, std::function<void(int)> completion) override;
  void setBackgroundPattern(const QString& name) override { background = name; }
  void center() override { centered = true; }
  void centerPreferencePanel() override { preferencePanelCentered = true; }
  void registerForDraggedFileNames() override { dropsRegistered = true; }
  void beep() override { ++beeps; }
  void deselectAllRows() override { ++deselections; }
  void beginOpenPanel(const QString& prompt,
                      std::function<void(int, std::vector<std::filesystem::path>)> completion) override {
    openPanelPrompt = prompt;
    completion(openPanelReturnCode, openPanelAnswer);
  }
  void beginSheet() override { ++sheetsBegun; }
  void endSheet() override { ++sheetsEnded; }
  QString stringValue() const override { return volumeName; }
  void setFormatter(std::shared_ptr<CDNameFormatter>) override { formatterSet = true; }
  void beginBurnProgress(Job&, const QString& description) override { burnPanels.push_back(description); }
  void beginEraseProgress(Job&, const QString& description) override { erasePanels.push_back(description); }
  QVariant iconForFile(const std::filesystem::path&) override { return QStringLiteral("file-icon"); }
  QVariant imageNamed(const QString& name) override { return name; }
  void openUrl(const QUrl& url) override { openedUrls.push_back(url); }
  void terminate() override { terminated = true; }

  std::vector<QString> alertKeys() const;  // "message/informative" of each alert

 private:
  std::function<void(int)> pending_;
};

}  // namespace tessaline::test
