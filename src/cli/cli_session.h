#pragma once
// One run of the controller for a command: the service, the controller with
// the terminal as its window, start-up, and waiting until the medium status
// has settled.

#include <QCommandLineParser>

#include <functional>
#include <memory>
#include <optional>

#include "app/app_controller.h"
#include "app/value_transformers.h"
#include "cli/terminal_window.h"
#include "devices/combined_service.h"

namespace tessaline::cli {

class CliSession {
 public:
  explicit CliSession(bool assumeYes = false);
  ~CliSession();

  // Start-up as the desktop application does it, then selects the writer at
  // menu index writerIndex. Answers false (after printing why) when there
  // is no writer or no such index.
  bool start(std::optional<int> writerIndex);
  // Waits until the medium status is settled: not loading, not waiting for
  // the volume. Answers false when it did not settle in time.
  bool settle();
  // Runs the event loop until done() holds; false on time-out.
  static bool runUntil(const std::function<bool()>& done, int timeoutMs);

  appController& controller() { return *controller_; }
  TerminalWindow& window() { return window_; }

 private:
  StringTable strings_;
  std::unique_ptr<CombinedService> service_;
  ValueTransformerRegistry transformers_;
  TerminalWindow window_;
  std::unique_ptr<appController> controller_;
  int settledCount_ = 0;
};

// Reads --writer INDEX; prints an error and answers false when malformed.
bool parseWriterIndex(const QCommandLineParser& parser, std::optional<int>& index);
void printError(const QString& message);
// The positional arguments as the exact bytes the shell passed (a name that
// is not UTF-8 must reach the burn list unchanged).
std::vector<std::filesystem::path> positionalPaths(const QCommandLineParser& parser,
                                                   const std::vector<std::string>& rawArgs);

}  // namespace tessaline::cli
