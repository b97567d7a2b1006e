#pragma once
// The desktop application around one controller: the service, the
// controller, the main window, and start-up in the controller's order.

#include <QObject>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "app/app_controller.h"
#include "app/value_transformers.h"
#include "devices/combined_service.h"

namespace tessaline::gui {

class TessalineWindow;

struct DesktopOptions {
  // A preferences file instead of the user's store (tests).
  std::optional<QString> preferencesFile;
  // Whether terminating ends the event loop (tests keep it running).
  bool quitOnTerminate = true;
};

class DesktopApp : public QObject, public ApplicationControl {
  Q_OBJECT
 public:
  explicit DesktopApp(DesktopOptions options = {});
  ~DesktopApp() override;

  // Start-up: connects the window, awakeFromNib, shows the window, then
  // applicationDidFinishLaunching; the files follow once the window is up.
  void start(const std::vector<std::filesystem::path>& files = {});
  // Files opened in the running application (command line, second start).
  void openFiles(const std::vector<std::filesystem::path>& files);

  appController& controller() { return *controller_; }
  TessalineWindow& window() { return *window_; }
  bool terminated() const { return terminated_; }

  // ApplicationControl
  void terminate() override;

 Q_SIGNALS:
  void terminateRequested();

 private:
  DesktopOptions options_;
  std::unique_ptr<CombinedService> service_;
  ValueTransformerRegistry transformers_;
  std::unique_ptr<appController> controller_;
  std::unique_ptr<TessalineWindow> window_;
  bool terminated_ = false;
};

}  // namespace tessaline::gui
