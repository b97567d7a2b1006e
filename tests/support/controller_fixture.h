#pragma once
// A controller on real emulated writers in a private folder, with a
// recording window and a private preferences file.

#include <gtest/gtest.h>

#include <memory>

#include "app/app_controller.h"
#include "app/value_transformers.h"
#include "devices/combined_service.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace tessaline::test {

// Emulated writers, preferences and the temp folder in a private world, for
// a test of a controller (its own or the desktop application's).
class WritersFixture : public ::testing::Test {
 protected:
  WritersFixture();

  // Creates an emulated writer (before the controller starts).
  void addWriter(const std::string& name, const QString& displayName = QStringLiteral("Emulated CD Recorder"));
  // Puts a medium in a writer: "cd-r", "cd-rw", "cd-rom"; sessions are ISO images.
  void insert(const std::string& writer, const std::string& medium, const std::vector<fs::path>& sessions = {},
              bool closed = false);
  // Builds an ISO image of a folder as a first session.
  fs::path makeImage(const fs::path& folder, const std::string& volume = "DISC");

  // An image tool that marks "imaging" in the temp folder, then waits for a
  // "gate" file there: the burn stays in its imaging step meanwhile.
  ScopedEnv gateImaging();

  // Nowhere to unpack a disc: its volume never appears within a one-second wait.
  struct NoMounting {
    ScopedEnv runtime{"XDG_RUNTIME_DIR", "/proc/self/nowhere"};
    ScopedEnv cache{"XDG_CACHE_HOME", "/proc/self/nowhere"};
    ScopedEnv wait{"TESSALINE_MOUNT_WAIT_S", "1"};
  };

  virtual appController& controller() = 0;
  // Waits until the status record has settled (not loading, no volume wait).
  bool settle();
  std::vector<std::string> listNames();  // aPathComponent of each burn item
  Preferences prefs() { return Preferences(QString::fromStdString(prefsFile_.string())); }
  const DiscStatusRecord& status() { return controller().statusController().content(); }

  PrivateEnvironment temp_;
  ScopedEnv mountWait_{"TESSALINE_MOUNT_WAIT_S", "5"};
  fs::path writersDir_ = temp_.writersDir();
  fs::path prefsFile_ = temp_ / "prefs.conf";
  int settledCount_ = 0;  // statusSettled signals seen
};

class ControllerFixture : public WritersFixture {
 protected:
  ~ControllerFixture() override;

  // Creates service and controller and runs the start-up.
  void start();
  // A burn through the controller; answers the outcome.
  std::optional<BurnOutcome> burnAndWait(int timeoutMs = 120000);

  appController& controller() override { return *controller_; }

  RecordingWindow window_;
  std::unique_ptr<CombinedService> service_;  // as the applications make it
  ValueTransformerRegistry transformers_;
  std::unique_ptr<appController> controller_;
};

}  // namespace tessaline::test
