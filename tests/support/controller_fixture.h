#pragma once
// A controller on real emulated writers in a private folder, with a
// recording window and a private preferences file.

#include <gtest/gtest.h>

#include <memory>

#include "app/app_controller.h"
#include "app/value_transformers.h"
#include "devices/emulated/emulated_service.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace tessaline::test {

class ControllerFixture : public ::testing::Test {
 protected:
  ControllerFixture();
  ~ControllerFixture() override;

  // Creates an emulated writer (before start()).
  void addWriter(const std::string& name, const QString& displayName = QStringLiteral("Emulated CD Recorder"));
  // Puts a medium in a writer: "cd-r", "cd-rw", "cd-rom"; sessions are ISO images.
  void insert(const std::string& writer, const std::string& medium, const std::vector<fs::path>& sessions = {},
              bool closed = false);
  // Builds an ISO image of a folder as a first session.
  fs::path makeImage(const fs::path& folder, const std::string& volume = "DISC");

  // Creates service and controller and runs the start-up.
  void start();
  // Waits until the status record has settled (not loading, no volume wait).
  bool settle();
  // A burn through the controller; answers the outcome.
  std::optional<BurnOutcome> burnAndWait(int timeoutMs = 120000);

  Preferences prefs() { return Preferences(QString::fromStdString(prefsFile_.string())); }
  appController& controller() { return *controller_; }
  const DiscStatusRecord& status() { return controller_->statusController().content(); }
  std::vector<std::string> listNames();  // aPathComponent of each burn item

  TempDir temp_;
  fs::path writersDir_;
  fs::path prefsFile_;
  RecordingWindow window_;
  std::unique_ptr<ScopedEnv> writersEnv_, runtimeEnv_, cacheEnv_, mountWaitEnv_;
  std::unique_ptr<emulated::EmulatedService> service_;
  ValueTransformerRegistry transformers_;
  std::unique_ptr<appController> controller_;
  int settledCount_ = 0;
};

}  // namespace tessaline::test
